// product_timer: times a parallel matrix-vector product y = A*x.
//
// A is an m-by-n matrix in row-major order (element (i, j) at index i*n + j),
// x has n elements and y has m. Element indices are 64-bit, so m*n may exceed
// 2^31 - 1 when memory allows. Every y[i] is the left-to-right sum of the
// rounded products A[i*n + j] * x[j], j = 0 .. n-1, starting from +0.0, so y is
// the same bit for bit whatever the number of threads.
#pragma once

#include <cstdint>

// Largest thread count the program accepts; a larger request is refused with
// the usage line and a second line that names this limit.
constexpr int max_thread_count = 1024;

// Rows [first, first + count) of y computed by thread `thread` (0, 1, ...) of
// a team of team_size threads for `rows` rows: contiguous blocks in thread
// order, the first rows mod team_size threads take one row more. count is 0
// for threads from `rows` on when rows < team_size.
struct row_block {
    int first;
    int count;
};
row_block thread_rows(int rows, int thread, int team_size);

// Prints the usage line on standard error and ends the process with status 1.
[[noreturn]] void usage(const char* prog_name);

// Converts the three arguments (thread count, rows, columns) and stores them;
// returns only when all three are positive and the thread count is at most
// max_thread_count. Otherwise it ends the process with status 1 after the
// usage line, followed, when only the thread count is too large, by
// "At most 1024 threads are accepted". Values outside the int range saturate
// to INT_MIN or INT_MAX.
void get_args(int argc, char* argv[], int* thread_count, int* m, int* n);

// Fill A (m*n elements, row by row) and x (n elements) with the next values of
// random(), each divided by 2147483647.0, so every value lies in [0, 1].
void gen_matrix(double A[], int m, int n);
void gen_vector(double x[], int n);

// y = A*x in one parallel region of thread_count requested threads; each
// thread computes the block of rows that thread_rows gives for the team size
// the runtime actually granted, with the kernel that select_kernel
// (kernels.h) chose. Returns that team size.
int compute_product(const double A[], const double x[], double y[], int m, int n, int thread_count);

// compute_product timed by the wall clock, then the time line on standard
// output; a team smaller than thread_count ends the process with a line on
// stderr and status 1, and no time is printed.
void product_timer(const double A[], const double x[], double y[], int m, int n, int thread_count);

// Console input: the prompt line on standard output, then m*n (or n) values
// read with "%lf" from standard input. An element whose value cannot be
// converted is left as it was; the offending word is skipped so that reading
// goes on with the next value.
void read_matrix(const char* prompt, double A[], int m, int n);
void read_vector(const char* prompt, double x[], int n);

// Console output: the title line, then each row of A (or the elements of y
// whose index is below count) with "%4.1f ", every row ending in a newline.
void print_matrix(const char* title, const double A[], int m, int n);
void print_vector(const char* title, const double y[], double count);
