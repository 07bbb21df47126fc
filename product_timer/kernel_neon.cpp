// The NEON kernel of aarch64. NEON registers hold two doubles; the compiler
// carries out each vec4 and vec8 operation with two or four of them. Counted
// under qemu, the grouping of the AVX-512 kernel takes fewer instructions per
// element here (2.5) than that of the AVX kernel (2.8); docs/platforms.md has
// the counts.
#include "kernels.h"

#include "kernel_target.h"

#if PRODUCT_TIMER_AARCH64

PRODUCT_TIMER_NOSVE_BEGIN

#include "vector_design.h"

void multiply_rows_neon(const double A[], const double x[], double y[], int first, int count,
                        int n) {
    multiply_rows_grouped<1, 1, 16>(A, x, y, first, count, n);
}

PRODUCT_TIMER_NOSVE_END

#else

void multiply_rows_neon(const double A[], const double x[], double y[], int first, int count,
                        int n) {
    multiply_rows_portable(A, x, y, first, count, n);
}

#endif

// Every ARMv8 processor has NEON, so no run-time check is needed.
bool neon_kernel_available() { return PRODUCT_TIMER_AARCH64 != 0; }
