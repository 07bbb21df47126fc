// bank: applies the transaction files named on the command line, one thread
// per file, to one shared table of accounts and prints the final balances.
#include "bank.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <omp.h>

#include "bank_log.h"
#include "messages.h"
#include "parser.h"
#include "process_end.h"
#include "program_info.h"
#include "saturated_int.h"

int num_accounts = 16;
double* account_balances = nullptr;

namespace {

const program_info bank_info = {
#ifdef BANK_UNSYNCHRONIZED
    "bank_unsynchronized", "<num_transaction files> <transaction file> {<transaction file.txt>}",
    "A teaching build of bank WITHOUT the critical section around each transaction:\n"
    "the threads race on the balances, so updates can be lost and the final\n"
    "balances can be wrong. Everything else is bank's. Never use it for real work.\n"
    "\n"
#else
    "bank", "<num_transaction files> <transaction file> {<transaction file.txt>}",
#endif
    "Applies transaction files to 16 shared accounts (numbered 0 to 15, all starting\n"
    "at 0), one OpenMP thread per file, and prints a line per transaction and then\n"
    "every balance.\n"
    "\n"
    "  <num_transaction files>  how many of the files to read, one thread each\n"
    "  <transaction file>       one record per line, one blank between its fields:\n"
    "                           deposit ACC AMOUNT, withdrawal ACC AMOUNT,\n"
    "                           transfer FROM TO AMOUNT, balance ACC\n"
    "                           Reading stops at the first record that does not\n"
    "                           read (two blanks, a tab, a misspelt keyword); the\n"
    "                           records before it are applied, and the exit\n"
    "                           status is then 1.\n"
    "\n"
    "Colours: set NO_COLOR to a non-empty value to leave them out.\n"
    "\n"
    "Log files: thread N appends its records to pN.log in the working directory.\n",
    "docs/bank.md"};

constexpr char star_line[] = "    *********************************************************   ";

}  // namespace

void usage(const char* prog_name) { exit_with_usage("usage:", prog_name, bank_info.arguments); }

int get_num_files_from_args(int argc, char** argv) {
    if (argc <= 2) usage(argv[0]);
    int num_files = to_int_saturated(argv[1]);
    // One thread per file: never start threads that have no file to read.
    if (num_files <= 0 || num_files > argc - 2) usage(argv[0]);
    return num_files;
}

const char* get_fname_from_args(int argc, char** argv, int id) {
    if (id + 2 >= argc) usage(argv[0]);
    printf("Returning argument 2+%2d: transaction file for user %2d = %s\n", id, id, argv[id + 2]);
    return argv[id + 2];
}

namespace {

bool in_range(int acc_num) { return acc_num >= 0 && acc_num < num_accounts; }

// Negative amounts would let a withdrawal create money and a transfer drain
// the other account; NaN and infinities would ruin a balance for good.
bool valid_amount(double amount) { return std::isfinite(amount) && !(amount < 0.0); }

// A credit that would take a balance past the largest double would leave it
// infinite, and every later operation on the account meaningless.
bool finite_after_credit(double balance, double amount) { return std::isfinite(balance + amount); }

}  // namespace

void deposit(int acc_num, double amount) {
    if (!in_range(acc_num)) {
        log_dp_no_acc(amount, acc_num);
    } else if (!valid_amount(amount) || !finite_after_credit(account_balances[acc_num], amount)) {
        log_dp_bad_amount(amount, acc_num);
    } else {
        log_dp(amount, acc_num, account_balances[acc_num]);
        account_balances[acc_num] += amount;
    }
}

void withdrawal(int acc_num, double amount) {
    if (!in_range(acc_num)) {
        log_wd_no_acc(amount, acc_num);
    } else if (!valid_amount(amount)) {
        log_wd_bad_amount(amount, acc_num);
    } else if (account_balances[acc_num] >= amount) {
        log_wd(amount, acc_num, account_balances[acc_num]);
        account_balances[acc_num] -= amount;
    } else {
        log_wd_no_funds(amount, acc_num, account_balances[acc_num]);
    }
}

void transfer(int acc_from, int acc_to, double amount) {
    if (!in_range(acc_from) || !in_range(acc_to)) {
        log_tr_no_acc(amount, acc_from, acc_to);
    } else if (!valid_amount(amount) ||
               !finite_after_credit(acc_from == acc_to ? account_balances[acc_from] - amount
                                                       : account_balances[acc_to],
                                    amount)) {
        // A transfer to the same account credits what it has just debited.
        log_tr_bad_amount(amount, acc_from, acc_to);
    } else if (account_balances[acc_from] >= amount) {
        log_tr(amount, acc_from, acc_to, account_balances[acc_from]);
        account_balances[acc_from] -= amount;
        account_balances[acc_to] += amount;
    } else {
        log_tr_no_funds(amount, acc_from, acc_to, account_balances[acc_from]);
    }
}

void acc_balance(int acc_num) {
    if (in_range(acc_num))
        log_bl(acc_num, account_balances[acc_num]);
    else
        log_bl_no_acc(acc_num);
}

namespace {

// The ledger operation of a transaction of a known type.
void apply_operation(const transaction* t) {
    switch (t->type) {
        case type_deposit:
            deposit(t->dest, t->amount);
            break;
        case type_withdrawal:
            withdrawal(t->src, t->amount);
            break;
        case type_transfer:
            transfer(t->src, t->dest, t->amount);
            break;
        case type_balance:
            acc_balance(t->src);
            break;
        default:
            break;
    }
}

// Applies one transaction under the critical section; the type is read
// outside it, and an unknown type is skipped without entering it.
// bank_unsynchronized (BANK_UNSYNCHRONIZED) leaves the critical section out.
void apply_transaction(const transaction* t) {
    if (t->type != type_deposit && t->type != type_withdrawal && t->type != type_transfer &&
        t->type != type_balance)
        return;
#ifndef BANK_UNSYNCHRONIZED
#pragma omp critical
#endif
    apply_operation(t);
}

// The share of one thread of the full team: reads its user's file, waits for
// the others, applies the transactions, waits again and frees the list.
void apply_user_file(int argc, char** argv, bool* files_cut_short) {
    int tnum = omp_get_thread_num();
    transaction* start_of_transaction_list =
        parse_transaction_file(get_fname_from_args(argc, argv, tnum), files_cut_short);
    if (start_of_transaction_list == nullptr) {
        flockfile(stdout);  // keeps the two lines together
        const char* fname = get_fname_from_args(argc, argv, tnum);
        printf("Something bad happened, parse_transaction_file(%s) returned no list\n", fname);
        end_process(1);
    }
#pragma omp barrier
    for (transaction* transaction_list = start_of_transaction_list; transaction_list != nullptr;
         transaction_list = transaction_list->next)
        apply_transaction(transaction_list);
#pragma omp barrier
    free_transaction(start_of_transaction_list);
}

void print_final_report() {
    printf("%s\n", star_line);
    for (int i = 0; i < num_accounts; ++i)
        printf("Account %2d balance after completion of transaction batch: %9.2f\n", i,
               account_balances[i]);
    printf("%s\n", star_line);
}

}  // namespace

int main(int argc, char** argv) {
    if (answer_info_request(argc, argv, bank_info)) return close_standard_output(bank_info.name, 0);
    int num_files = get_num_files_from_args(argc, argv);
    ignore_file_size_signal();

    // Every file needs its own thread: the runtime must neither shrink the
    // team (OMP_DYNAMIC) nor run it alone (OMP_MAX_ACTIVE_LEVELS=0), and a
    // thread limit below the count is refused.
    omp_set_dynamic(0);
    if (omp_get_max_active_levels() < 1) omp_set_max_active_levels(1);
    if (num_files > omp_get_thread_limit()) {
        fprintf(stderr, "Cannot start %d threads: the OpenMP thread limit is %d, exiting\n",
                num_files, omp_get_thread_limit());
        exit(1);
    }

    num_accounts = 16;
    account_balances = static_cast<double*>(calloc(num_accounts, sizeof(double)));
    if (account_balances == nullptr) exit_out_of_memory();

    if (num_files == 1)
        printf("%s Warning: Only one thread reading one transaction file supported.%s\n",
               color_green(), color_reset());

    bool files_cut_short = false;  // a file's reading stopped at a bad record
    int team_size = num_files;     // the team the runtime gave, as thread 0 saw it
#pragma omp parallel num_threads(num_files) reduction(|| : files_cut_short)
    {
        // Every thread of a team sees the same size: a short team leaves the
        // region as a whole, before any file is read, applied or logged.
        if (omp_get_thread_num() == 0) team_size = omp_get_num_threads();
        if (omp_get_num_threads() == num_files) apply_user_file(argc, argv, &files_cut_short);
    }
    if (team_size != num_files) {
        fprintf(stderr,
                "The OpenMP runtime started %d of %d threads (dynamic adjustment off, "
                "%d active levels, thread limit %d), exiting\n",
                team_size, num_files, omp_get_max_active_levels(), omp_get_thread_limit());
        end_process(1);
    }

    print_final_report();
    free(account_balances);
    account_balances = nullptr;
    // Lost records and files not applied to the end were reported on stderr.
    return close_standard_output(bank_info.name, log_records_lost() || files_cut_short ? 1 : 0);
}
