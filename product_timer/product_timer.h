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

// Rows [first, first + count) of y computed by thread t of a team of T threads
// for m rows: contiguous blocks in thread order, the first m mod T threads
// take one row more. count is 0 for threads t >= m when m < T.
struct row_block {
    int first;
    int count;
};
row_block thread_rows(int m, int t, int T);

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

// y[first .. first+count-1] = rows first .. first+count-1 of A times x, on the
// calling thread. All kernels give the same bits, except that a sum that is
// NaN may differ in sign and payload (which NaN an addition passes on depends
// on the operand order the compiler picks).
//   multiply_rows_portable  plain C++ for any processor
//   multiply_rows_wide      AVX vectors; only where wide_kernel_available()
//   multiply_rows_avx512    AVX-512F vectors; only where
//                           avx512_kernel_available()
//   multiply_rows_neon      NEON vectors; only on aarch64 (every ARMv8
//                           processor has NEON: neon_kernel_available() is
//                           true there and false elsewhere)
//   multiply_rows_avx512_emulated
//                           the same code as multiply_rows_avx512 built for no
//                           particular instruction set, so that the 512-bit
//                           design can be checked on any processor (for tests;
//                           slow)
//   multiply_rows_avx512vl  three software-pipelined groups of four rows in
//                           256-bit vectors, using the 32 registers of
//                           AVX-512VL (kernel_avx512vl.cpp); only where
//                           avx512vl_kernel_available()
//   multiply_rows_avx512vl_emulated
//                           the same design built for no particular
//                           instruction set (for tests)
// On processors other than x86 the AVX and AVX-512 kernels are the portable
// one, and so is the NEON kernel on processors other than aarch64.
// multiply_rows runs the kernel that select_kernel picks: AVX-512VL where
// avx512vl_kernel_preferred(), else AVX-512 where the processor has it, else
// AVX, else NEON on aarch64, else portable.
using row_kernel = void (*)(const double A[], const double x[], double y[], int first, int count,
                            int n);
void multiply_rows(const double A[], const double x[], double y[], int first, int count, int n);
void multiply_rows_portable(const double A[], const double x[], double y[], int first, int count,
                            int n);
void multiply_rows_wide(const double A[], const double x[], double y[], int first, int count,
                        int n);
void multiply_rows_avx512(const double A[], const double x[], double y[], int first, int count,
                          int n);
void multiply_rows_neon(const double A[], const double x[], double y[], int first, int count,
                        int n);
void multiply_rows_avx512_emulated(const double A[], const double x[], double y[], int first,
                                   int count, int n);
void multiply_rows_avx512vl(const double A[], const double x[], double y[], int first, int count,
                            int n);
void multiply_rows_avx512vl_emulated(const double A[], const double x[], double y[], int first,
                                     int count, int n);
bool avx512vl_kernel_available();
bool wide_kernel_available();
bool avx512_kernel_available();
bool neon_kernel_available();
// True where the processor family measured the AVX-512VL kernel faster than
// the AVX-512 one (and has AVX-512VL); select_kernel then picks it.
bool avx512vl_kernel_preferred();
row_kernel select_kernel();
// "AVX-512VL", "AVX-512" or "AVX" (x86 only), "NEON" (aarch64 only),
// "AVX-512 design, emulated", "AVX-512VL design, emulated" or "portable":
// only kernels that exist on this processor family have their own name.
const char* kernel_name(row_kernel kernel);

// y = A*x in one parallel region of thread_count requested threads; each
// thread computes the block of rows that thread_rows gives for the team size
// the runtime actually granted.
void compute_product(const double A[], const double x[], double y[], int m, int n,
                     int thread_count);

// compute_product timed by the wall clock, then the time line on standard
// output.
void product_timer(const double A[], const double x[], double y[], int m, int n,
                   int thread_count);

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
