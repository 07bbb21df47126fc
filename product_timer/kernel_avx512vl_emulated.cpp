// The AVX-512VL kernel's pipelined design built for no particular instruction
// set, in 16-byte halves where the processor has no wider registers, so that
// the tests can check its bits on any processor (slow).
#include "kernels.h"

#include "kernel_target.h"

PRODUCT_TIMER_NOSVE_BEGIN

#include "pipelined_design.h"

void multiply_rows_avx512vl_emulated(const double A[], const double x[], double y[], int first,
                                     int count, int n) {
    multiply_rows_in_quads<16>(A, x, y, first, count, n);
}

PRODUCT_TIMER_NOSVE_END
