#include "bank_log.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>

#include <omp.h>

#include "record_file.h"

namespace {

constexpr int log_name_size = 64;

constexpr char balance_text[] = "-- Balance";
constexpr char no_account_text[] = "-- Error: account does not exist";
constexpr char bad_amount_text[] = "-- Error: invalid amount";
constexpr char no_funds_text[] = "--insufficient funds";

// Set by any thread whose record was lost, read once at the end of the run.
std::atomic<bool> records_lost{false};

}  // namespace

bool log_records_lost() { return records_lost.load(); }

namespace {

void format_log_name(char* name) { snprintf(name, log_name_size, "p%d.log", omp_get_thread_num()); }

// Colour sequences are left out when NO_COLOR is set and not empty.
bool colors_wanted() {
    static const bool wanted = [] {
        const char* no_color = getenv("NO_COLOR");
        return no_color == nullptr || no_color[0] == '\0';
    }();
    return wanted;
}

}  // namespace

const char* color_red() { return colors_wanted() ? COLOR_RED : ""; }

const char* color_green() { return colors_wanted() ? COLOR_GREEN : ""; }

const char* color_reset() { return colors_wanted() ? COLOR_RESET : ""; }

namespace {

// Opens the calling thread's log file as open_record_file does; *reason is
// ENOMEM when the name buffer cannot be taken.
FILE* open_log(record_sink** sink, int* reason) {
    char* name = static_cast<char*>(malloc(log_name_size));
    if (name == nullptr) {
        *reason = ENOMEM;
        return nullptr;
    }
    format_log_name(name);
    FILE* fptr = open_record_file(name, sink, reason);
    free(name);
    return fptr;
}

}  // namespace

FILE* open_logfile() {
    record_sink* sink = nullptr;  // fclose alone frees it
    int reason = 0;
    FILE* fptr = open_log(&sink, &reason);
    // A FIFO or socket gives what opening one without a reader gives.
    if (fptr == nullptr) errno = reason == RECORD_FILE_WOULD_BLOCK ? ENXIO : reason;
    return fptr;
}

void close_logfile(FILE* fptr) { fclose(fptr); }

namespace {

// Names the log file and the reason on stderr when a record could not be
// written; the run goes on without that record.
void report_log_failure(int reason) {
    records_lost.store(true);
    char name[log_name_size];
    format_log_name(name);
    fprintf(stderr, "%s: %s\n", name, record_file_reason(reason));
}

// Appends one record to the calling thread's log file: open, one formatted
// write, flush, close. A record that does not reach the file whole is taken
// out of it again, and only it.
__attribute__((format(printf, 1, 2))) void write_record(const char* format, ...) {
    record_sink* sink = nullptr;
    int reason = 0;
    FILE* fptr = open_log(&sink, &reason);
    if (fptr == nullptr) {
        report_log_failure(reason);
        return;
    }
    va_list args;
    va_start(args, format);
    vfprintf(fptr, format, args);  // a failure leaves the stream's error flag set
    va_end(args);
    if (!close_record_file(fptr, sink, &reason)) report_log_failure(reason);
}

}  // namespace

void log_dp(double amount, int acc_to, double balance) {
    write_record("deposit > acc: %d > amount: %9.2lf\n", acc_to, amount);
    printf("User %2d: Deposit %9.2f into acc %2d %21s %9.2lf\n", omp_get_thread_num(), amount,
           acc_to, balance_text, balance);
}

namespace {

// The refused deposit, withdrawal and transfer lines differ only in their
// error text.
void print_dp_refusal(double amount, int acc_to, const char* error) {
    printf("%sUser %2d: Deposit %9.2lf into acc %2d %64s %s\n", color_red(), omp_get_thread_num(),
           amount, acc_to, error, color_reset());
}

void print_wd_refusal(double amount, int acc_from, const char* error) {
    printf("%sUser %2d, Withdraw %8.2f from acc %2d %64s %s\n", color_red(), omp_get_thread_num(),
           amount, acc_from, error, color_reset());
}

// The line right-aligns the error text, the reset and the newline together in
// 59 columns, so the error text alone takes the columns those 5 bytes leave,
// whether the reset is written or not.
void print_tr_refusal(double amount, int acc_from, int acc_to, const char* error) {
    static const int error_width = 59 - static_cast<int>(sizeof COLOR_RESET "\n" - 1);
    printf("%sUser %2d, Transfer %8.2f from acc %2d to acc %2d %*s%s\n", color_red(),
           omp_get_thread_num(), amount, acc_from, acc_to, error_width, error, color_reset());
}

}  // namespace

void log_dp_no_acc(double amount, int acc_to) { print_dp_refusal(amount, acc_to, no_account_text); }

void log_dp_bad_amount(double amount, int acc_to) {
    print_dp_refusal(amount, acc_to, bad_amount_text);
}

void log_wd(double amount, int acc_from, double balance) {
    write_record("withdrawal> acc: %d > amount: %9.2f\n", acc_from, amount);
    printf("User %2d, Withdraw %8.2f from acc %2d %21s %9.2f\n", omp_get_thread_num(), amount,
           acc_from, balance_text, balance);
}

void log_wd_no_funds(double amount, int acc_from, double balance) {
    printf("%sUser %2d, Withdraw %8.2f from acc %2d %21s %9.2f %s %s\n", color_green(),
           omp_get_thread_num(), amount, acc_from, balance_text, balance, no_funds_text,
           color_reset());
}

void log_wd_no_acc(double amount, int acc_from) {
    print_wd_refusal(amount, acc_from, no_account_text);
}

void log_wd_bad_amount(double amount, int acc_from) {
    print_wd_refusal(amount, acc_from, bad_amount_text);
}

void log_tr(double amount, int acc_from, int acc_to, double balance) {
    write_record("transfer > from acc: %d > to acc: %d > amount: %3.2lf\n", acc_from, acc_to,
                 amount);
    printf("User %2d, Transfer %8.2f from acc %2d to acc %2d  -- Balance %9.2f\n",
           omp_get_thread_num(), amount, acc_from, acc_to, balance);
}

// acc_to is not shown: the line is the same whatever the destination.
void log_tr_no_funds(double amount, int acc_from, int /*acc_to*/, double balance) {
    printf("%sUser %2d, Transfer %8.2f from acc %2d %21s %8.2f -- insufficient funds%s\n",
           color_green(), omp_get_thread_num(), amount, acc_from, balance_text, balance,
           color_reset());
}

void log_tr_no_acc(double amount, int acc_from, int acc_to) {
    print_tr_refusal(amount, acc_from, acc_to, no_account_text);
}

void log_tr_bad_amount(double amount, int acc_from, int acc_to) {
    print_tr_refusal(amount, acc_from, acc_to, bad_amount_text);
}

void log_bl(int acc_from, double balance) {
    write_record("balance > acc: %d\n\n", acc_from);
    printf("User %2d, Balance %18s %2d %21s %9.2f\n", omp_get_thread_num(), "acc", acc_from,
           balance_text, balance);
}

void log_bl_no_acc(int acc_from) {
    printf("%sUser %2d, Balance of acc %2d %76s %s\n", color_red(), omp_get_thread_num(), acc_from,
           no_account_text, color_reset());
}

void log_parallel() { write_record("omp parallel: %d threads\n", omp_get_num_threads()); }

void log_barrier() { write_record("omp barrier\n"); }

void log_critical() { write_record("omp critical\n"); }

void log_lock(int acc_num) { write_record("omp set lock %d\n", acc_num); }

void log_unlock(int acc_num) { write_record("omp unset lock %d\n", acc_num); }
