// vector_max: rank 0 reads up to 100 integers from a file, scatters equal
// blocks to every rank, and a maximum-reduction brings the largest to rank 0.
#pragma once

// Room of the vector that rank 0 reads; further values are ignored.
constexpr int vector_capacity = 100;

// Writes the usage line to stderr and ends the process with status 1.
[[noreturn]] void usage(const char* program_name);

// Fills vector (room for vector_capacity values) from the file and stores the
// number of values read in *count; leaves *count as it was when the file cannot
// be opened, and stores 0 when a read fails (the values before it would not be
// the file's). Writes a message to stderr when the file cannot be opened or read, holds no
// leading integer, holds an integer outside the 32-bit range, or holds more
// values than there is room for. A UTF-8 byte-order mark at the very start of
// the file is skipped.
void read_vector(int* vector, int* count, const char* file_name);

// Rank 0's share: reads the file, takes part in the broadcast, scatter and
// reduction, and returns the maximum of every stored value. *count receives the
// number of values read; when it is 0 the returned value means nothing.
int process_zero(const char* file_name, int* count);

// The share of every other rank: broadcast, scatter, reduction.
void process_other_rank();

// Writes "<label> <rank>: " and the values to stdout (a debugging aid).
void print_vector(const int* values, int count, const char* label);
