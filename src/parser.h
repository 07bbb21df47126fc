// Reader of transaction files: tokens separated by single blanks or newlines,
// records of a keyword ("deposit", "withdrawal", "transfer", "balance") and
// its operands. Every record read is echoed on standard output.
#pragma once

#include <cstdio>

#include "loader.h"

// Size of the token buffer: a token holds at most token_size - 1 bytes.
constexpr int token_size = 64;

// Statuses of read_string.
constexpr int token_newline = 0;   // a non-empty token ended by a newline
constexpr int token_blank = 1;     // a token ended by a blank, or an empty token
constexpr int token_end = 2;       // the stream ended; the token holds what came before
constexpr int token_too_long = 3;  // the token does not fit; line holds its first 63 bytes

// Reads the file into a list in file order; null when it cannot be opened or
// read (with a message on stdout and the reason on stderr) or holds no record.
// When reading stops at a record it cannot read, one line on stderr names the
// file and the line of that record; after at least one good record the list
// holds the records before it and *cut_short (if given) becomes true, before
// any it is null.
transaction* parse_transaction_file(const char* filename, bool* cut_short = nullptr);
FILE* open_transaction_file(const char* filename);
// Reads records from the start of the stream until it ends or a stop (unknown
// keyword, keyword or record cut off, over-long token) and returns the list
// read so far. A UTF-8 byte-order mark at the very start is skipped, and so is
// a line (or a blank) holding only a carriage return, as files saved on
// Windows have them.
transaction* read_transactions(FILE* fptr);
// read_transactions, and where it stopped: *stop_line becomes the line (from
// 1) where the record it could not read begins, or 0 when it read to the end.
transaction* read_transactions_to_stop(FILE* fptr, long* stop_line);
// Reads one token into line (token_size bytes) and returns a token_ status.
int read_string(FILE* fptr, char* line);

// Statuses of the record readers.
constexpr int record_read = 0;      // every operand read; the record was echoed
constexpr int record_too_long = 1;  // an operand is longer than the token buffer holds
constexpr int record_cut_off = 2;   // the stream ended before an operand started

// Record readers: read and convert the operands of one record, then echo it.
// Unless they return record_read nothing is echoed and the out-parameters
// are unspecified. An operand ended by the end of the stream still counts;
// one that never started does not, so a record cut off by the end of the
// file is never taken for one with zero operands.
int read_deposit(FILE* fptr, char* line, int* acc_dest, double* amount);
int read_withdrawal(FILE* fptr, char* line, int* acc_src, double* amount);
int read_transfer(FILE* fptr, char* line, int* acc_src, int* acc_dest, double* amount);
int read_balance(FILE* fptr, char* line, int* acc_src);
