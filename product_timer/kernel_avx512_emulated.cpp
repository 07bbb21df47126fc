// The AVX-512 kernel's design built for no particular instruction set: the
// compiler carries out the 512-bit operations with whatever vectors the
// processor has, so the tests can check the design bit for bit on any
// machine (slow; never chosen unless PRODUCT_TIMER_KERNEL asks for it).
#include "kernels.h"

#include "kernel_target.h"

PRODUCT_TIMER_NOSVE_BEGIN

#include "vector_design.h"

void multiply_rows_avx512_emulated(const double A[], const double x[], double y[], int first,
                                   int count, int n) {
    multiply_rows_grouped<1, 1, 16>(A, x, y, first, count, n);
}

PRODUCT_TIMER_NOSVE_END
