#include "logger.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include <omp.h>

static const int LOG_NAME_SIZE = 64;

#define BALANCE_TEXT "-- Balance"
#define NO_ACCOUNT_TEXT "-- Error: account does not exist"
#define BAD_AMOUNT_TEXT "-- Error: invalid amount"
#define NO_FUNDS_TEXT "--insufficient funds"

// Set by any thread whose record was lost, read once at the end of the run.
static std::atomic<bool> records_lost{false};

bool log_records_lost() {
    return records_lost.load();
}

static void format_log_name(char *name) {
    snprintf(name, LOG_NAME_SIZE, "p%d.log", omp_get_thread_num());
}

FILE *open_logfile() {
    char *name = static_cast<char *>(malloc(LOG_NAME_SIZE));
    if (name == nullptr) return nullptr;
    format_log_name(name);
    FILE *fptr = fopen(name, "a");
    int reason = errno;
    free(name);
    errno = reason;
    return fptr;
}

void close_logfile(FILE *fptr) {
    fclose(fptr);
}

// Names the log file and the reason on stderr when a record could not be
// written; the run goes on without that record.
static void report_log_failure(int reason) {
    records_lost.store(true);
    char name[LOG_NAME_SIZE];
    format_log_name(name);
    fprintf(stderr, "%s: %s\n", name, strerror(reason));
}

// Appends one record to the calling thread's log file: open, one formatted
// write, flush, close.
__attribute__((format(printf, 1, 2))) static void write_record(const char *format, ...) {
    FILE *fptr = open_logfile();
    if (fptr == nullptr) {
        report_log_failure(errno);
        return;
    }
    va_list args;
    va_start(args, format);
    bool written = vfprintf(fptr, format, args) >= 0;
    va_end(args);
    written = fflush(fptr) == 0 && written;
    int reason = errno;
    close_logfile(fptr);
    if (!written) report_log_failure(reason);
}

void log_dp(double amount, int acc_to, double balance) {
    write_record("deposit > acc: %d > amount: %9.2lf\n", acc_to, amount);
    printf("User %2d: Deposit %9.2f into acc %2d %21s %9.2lf\n", omp_get_thread_num(), amount,
           acc_to, BALANCE_TEXT, balance);
}

// The refused deposit, withdrawal and transfer lines differ only in their
// error text.
static void print_dp_refusal(double amount, int acc_to, const char *error) {
    printf(COLOR_RED "User %2d: Deposit %9.2lf into acc %2d %64s " COLOR_RESET "\n",
           omp_get_thread_num(), amount, acc_to, error);
}

static void print_wd_refusal(double amount, int acc_from, const char *error) {
    printf(COLOR_RED "User %2d, Withdraw %8.2f from acc %2d %64s " COLOR_RESET "\n",
           omp_get_thread_num(), amount, acc_from, error);
}

// The error text right-aligned here carries the reset and the newline itself.
static void print_tr_refusal(double amount, int acc_from, int acc_to, const char *error_line) {
    printf(COLOR_RED "User %2d, Transfer %8.2f from acc %2d to acc %2d %59s", omp_get_thread_num(),
           amount, acc_from, acc_to, error_line);
}

void log_dp_no_acc(double amount, int acc_to) {
    print_dp_refusal(amount, acc_to, NO_ACCOUNT_TEXT);
}

void log_dp_bad_amount(double amount, int acc_to) {
    print_dp_refusal(amount, acc_to, BAD_AMOUNT_TEXT);
}

void log_wd(double amount, int acc_from, double balance) {
    write_record("withdrawal> acc: %d > amount: %9.2f\n", acc_from, amount);
    printf("User %2d, Withdraw %8.2f from acc %2d %21s %9.2f\n", omp_get_thread_num(), amount,
           acc_from, BALANCE_TEXT, balance);
}

void log_wd_no_funds(double amount, int acc_from, double balance) {
    printf(COLOR_GREEN "User %2d, Withdraw %8.2f from acc %2d %21s %9.2f %s " COLOR_RESET "\n",
           omp_get_thread_num(), amount, acc_from, BALANCE_TEXT, balance, NO_FUNDS_TEXT);
}

void log_wd_no_acc(double amount, int acc_from) {
    print_wd_refusal(amount, acc_from, NO_ACCOUNT_TEXT);
}

void log_wd_bad_amount(double amount, int acc_from) {
    print_wd_refusal(amount, acc_from, BAD_AMOUNT_TEXT);
}

void log_tr(double amount, int acc_from, int acc_to, double balance) {
    write_record("transfer > from acc: %d > to acc: %d > amount: %3.2lf\n", acc_from, acc_to,
                 amount);
    printf("User %2d, Transfer %8.2f from acc %2d to acc %2d  -- Balance %9.2f\n",
           omp_get_thread_num(), amount, acc_from, acc_to, balance);
}

// acc_to is not shown: the line is the same whatever the destination.
void log_tr_no_funds(double amount, int acc_from, int /*acc_to*/, double balance) {
    printf(COLOR_GREEN "User %2d, Transfer %8.2f from acc %2d %21s %8.2f -- insufficient funds"
           COLOR_RESET "\n",
           omp_get_thread_num(), amount, acc_from, BALANCE_TEXT, balance);
}

void log_tr_no_acc(double amount, int acc_from, int acc_to) {
    print_tr_refusal(amount, acc_from, acc_to, NO_ACCOUNT_TEXT COLOR_RESET "\n");
}

void log_tr_bad_amount(double amount, int acc_from, int acc_to) {
    print_tr_refusal(amount, acc_from, acc_to, BAD_AMOUNT_TEXT COLOR_RESET "\n");
}

void log_bl(int acc_from, double balance) {
    write_record("balance > acc: %d\n\n", acc_from);
    printf("User %2d, Balance %18s %2d %21s %9.2f\n", omp_get_thread_num(), "acc", acc_from,
           BALANCE_TEXT, balance);
}

void log_bl_no_acc(int acc_from) {
    printf(COLOR_RED "User %2d, Balance of acc %2d %76s " COLOR_RESET "\n", omp_get_thread_num(),
           acc_from, NO_ACCOUNT_TEXT);
}

void log_parallel() {
    write_record("omp parallel: %d threads\n", omp_get_num_threads());
}

void log_barrier() {
    write_record("omp barrier\n");
}

void log_critical() {
    write_record("omp critical\n");
}

void log_lock(int acc_num) {
    write_record("omp set lock %d\n", acc_num);
}

void log_unlock(int acc_num) {
    write_record("omp unset lock %d\n", acc_num);
}
