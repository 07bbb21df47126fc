// The product kernels of product_timer, their table and the dispatch.
//
// A kernel computes y[first .. first+count-1] = rows first .. first+count-1
// of A times x, on the calling thread (A is m-by-n, row-major). All kernels
// give the same bits, except that a sum that is NaN may differ in sign and
// payload (which NaN an addition passes on depends on the operand order the
// compiler picks).
//   multiply_rows_portable  plain C++ for any processor (kernel_portable.cpp)
//   multiply_rows_avx       AVX vectors; only where avx_kernel_available()
//                           (kernel_avx.cpp)
//   multiply_rows_avx512    AVX-512F vectors; only where
//                           avx512_kernel_available() (kernel_avx512.cpp)
//   multiply_rows_neon      NEON vectors; only on aarch64 (every ARMv8
//                           processor has NEON: neon_kernel_available() is
//                           true there and false elsewhere) (kernel_neon.cpp)
//   multiply_rows_avx512_emulated
//                           the same code as multiply_rows_avx512 built for no
//                           particular instruction set, so that the 512-bit
//                           design can be checked on any processor (for tests;
//                           slow) (kernel_avx512_emulated.cpp)
//   multiply_rows_avx512vl  three software-pipelined groups of four rows in
//                           256-bit vectors that use the 32 registers of
//                           AVX-512VL; only where avx512vl_kernel_available()
//                           (kernel_avx512vl.cpp, pipelined_design.h)
//   multiply_rows_avx512vl_emulated
//                           the same design built for no particular
//                           instruction set (for tests; slow)
//                           (kernel_avx512vl_emulated.cpp)
// On processors other than x86 the AVX, AVX-512 and AVX-512VL kernels are the portable
// one, and so is the NEON kernel on processors other than aarch64.
#pragma once

using row_kernel = void (*)(const double A[], const double x[], double y[], int first, int count,
                            int n);

void multiply_rows_portable(const double A[], const double x[], double y[], int first, int count,
                            int n);
void multiply_rows_avx(const double A[], const double x[], double y[], int first, int count, int n);
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
bool avx_kernel_available();
bool avx512_kernel_available();
bool avx512vl_kernel_available();
bool neon_kernel_available();

// One row of the kernel table: the name kernel_name gives, the key that
// PRODUCT_TIMER_KERNEL takes, the function, and whether this processor can
// run it.
struct kernel_entry {
    const char* name;
    const char* key;
    row_kernel multiply;
    bool (*available)();
};

// The kernels of this processor family in order of preference (kernel_table.cpp):
// on x86 AVX-512, AVX-512VL, AVX; on aarch64 NEON; then portable and the
// emulated AVX-512 and AVX-512VL designs, which every processor runs. Only the kernels of this
// family have a row; elsewhere their functions run the portable code.
struct kernel_list {
    const kernel_entry* entries;
    int count;
};
kernel_list kernel_table();

// The row whose key is `key`; nullptr when the table has none.
const kernel_entry* find_kernel(const char* key);

// The row that side-by-side measurement found fastest on this processor's
// family (vendor and family number), when that family was measured and the
// processor can run it; nullptr otherwise. kernel_table.cpp lists the
// families and the measurements.
const kernel_entry* measured_kernel();

// The kernel of this process, chosen on the first call and kept: the kernel
// that the environment variable PRODUCT_TIMER_KERNEL names by its key when it
// is set and not empty, else measured_kernel(), else the first row of the
// table that the processor can run. A key that the table lacks, or a kernel the processor cannot run,
// ends the process with status 1 after one line on standard error.
row_kernel select_kernel();

// The name of the table's row for kernel ("AVX-512", "AVX-512VL", "AVX",
// "NEON", "portable", "AVX-512 design, emulated", "AVX-512VL design,
// emulated"); a function that has no row of its
// own runs the portable code and is named so.
const char* kernel_name(row_kernel kernel);

// The kernel select_kernel chose, on rows first .. first+count-1.
void multiply_rows(const double A[], const double x[], double y[], int first, int count, int n);
