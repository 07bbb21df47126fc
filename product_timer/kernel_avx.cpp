// The AVX kernel: the vector design in 32-byte registers, three groups of
// four rows side by side. Only this function is compiled for AVX, so the
// program still runs on processors without it.
#include "kernels.h"

#include "kernel_target.h"

#if PRODUCT_TIMER_X86

#include "vector_design.h"

__attribute__((target("avx"))) void multiply_rows_avx(const double A[], const double x[],
                                                      double y[], int first, int count, int n) {
    multiply_rows_grouped<0, 3, 32>(A, x, y, first, count, n);
}

bool avx_kernel_available() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx") != 0;
}

#else

void multiply_rows_avx(const double A[], const double x[], double y[], int first, int count,
                       int n) {
    multiply_rows_portable(A, x, y, first, count, n);
}

bool avx_kernel_available() { return false; }

#endif
