// The AVX-512VL kernel: the pipelined design in 256-bit vectors that reach the
// 32 registers of AVX-512 (pipelined_design.h). Only this function is
// compiled for AVX-512F and VL, so the program still runs on processors
// without them.
#include "kernels.h"

#include "kernel_target.h"

#if PRODUCT_TIMER_X86

#include "pipelined_design.h"

__attribute__((target("avx512f,avx512vl"))) void multiply_rows_avx512vl(const double A[],
                                                                        const double x[],
                                                                        double y[], int first,
                                                                        int count, int n) {
    multiply_rows_in_quads<32>(A, x, y, first, count, n);
}

bool avx512vl_kernel_available() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512vl") != 0;
}

#else

void multiply_rows_avx512vl(const double A[], const double x[], double y[], int first, int count,
                            int n) {
    multiply_rows_portable(A, x, y, first, count, n);
}

bool avx512vl_kernel_available() { return false; }

#endif
