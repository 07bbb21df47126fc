// The bank: a table of accounts shared by one thread per transaction file.
#pragma once

#include "loader.h"

// Number of accounts; valid account numbers are 0 to num_accounts - 1.
extern int num_accounts;
// One balance per account, allocated zero-filled by main before the threads
// start; touched only inside the critical section while they run.
extern double* account_balances;

// Prints the usage line on stderr and ends the process with status 1.
[[noreturn]] void usage(const char* prog_name);
// The transaction file count of the command line; ends the process through
// usage, after a line on stderr that says why, when it is missing, not a
// positive number, or larger than the number of file names given. File names
// beyond the count are named on stderr as not read.
int get_num_files_from_args(int argc, char** argv);
// Announces and returns the file name of thread id.
const char* get_fname_from_args(int argc, char** argv, int id);

// Ledger operations; the caller holds the critical section around each call.
void deposit(int acc_num, double amount);
void withdrawal(int acc_num, double amount);
void transfer(int acc_from, int acc_to, double amount);
void acc_balance(int acc_num);
