// Console lines and per-thread log records of the bank. Every outcome
// operation prints one console line on standard output; the ones for a
// completed operation first append a record to the calling thread's log file
// "p<thread number>.log" in the working directory.
#pragma once

#include <cstdio>

// Console colours.
#define COLOR_RED "\033[22;31m"
#define COLOR_GREEN "\033[22;32m"
#define COLOR_RESET "\033[0m"

// The colours as the console lines write them: empty texts when the
// environment variable NO_COLOR is set and not empty (read once per run).
const char* color_red();
const char* color_green();
const char* color_reset();

// True once a record could not be written whole (each such record is
// reported on stderr and left out of the file entirely); the program then
// ends with status 1 after its run.
bool log_records_lost();

// The calling thread's log file opened for appending, or null (errno then
// says why). A FIFO or socket in its place is refused (ENXIO) rather than
// waited on.
FILE* open_logfile();
void close_logfile(FILE* fptr);

// Outcomes of the ledger operations. `balance` is printed as given.
void log_dp(double amount, int acc_to, double balance);
void log_dp_no_acc(double amount, int acc_to);
void log_dp_bad_amount(double amount, int acc_to);
void log_wd(double amount, int acc_from, double balance);
void log_wd_no_funds(double amount, int acc_from, double balance);
void log_wd_no_acc(double amount, int acc_from);
void log_wd_bad_amount(double amount, int acc_from);
void log_tr(double amount, int acc_from, int acc_to, double balance);
void log_tr_no_funds(double amount, int acc_from, int acc_to, double balance);
void log_tr_no_acc(double amount, int acc_from, int acc_to);
void log_tr_bad_amount(double amount, int acc_from, int acc_to);
void log_bl(int acc_from, double balance);
void log_bl_no_acc(int acc_from);

// Records of OpenMP events; they print nothing.
void log_parallel();
void log_barrier();
void log_critical();
void log_lock(int acc_num);
void log_unlock(int acc_num);
