// The AVX-512 kernel: the vector design in 64-byte registers, one group of
// eight rows and one of four side by side (0.625 vector instructions per
// element instead of the AVX kernel's 1). Only this function is compiled for
// AVX-512F, so the program still runs on processors without it.
#include "kernels.h"

#include "kernel_target.h"

#if PRODUCT_TIMER_X86

#include "vector_design.h"

__attribute__((target("avx512f"))) void multiply_rows_avx512(const double A[], const double x[],
                                                             double y[], int first, int count,
                                                             int n) {
    multiply_rows_grouped<1, 1, 64>(A, x, y, first, count, n);
}

bool avx512_kernel_available() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") != 0;
}

#else

void multiply_rows_avx512(const double A[], const double x[], double y[], int first, int count,
                          int n) {
    multiply_rows_portable(A, x, y, first, count, n);
}

bool avx512_kernel_available() { return false; }

#endif
