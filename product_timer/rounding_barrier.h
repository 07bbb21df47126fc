// The rounding barrier: every file that adds products includes this header
// and passes each product through rounding_barrier (or ROUNDING_BARRIER for a
// vector) before it is added.
//
// Every y[i] must be the left-to-right sum of the rounded products, starting
// from +0.0. A multiply must never be fused with the add that follows it (one
// rounding instead of two). Compilers fuse by default where the processor has
// fused multiply-adds (GCC on aarch64, or on x86-64 with -march=native; Clang
// within one expression), GCC ignores `#pragma STDC FP_CONTRACT OFF`, and
// Clang ignores it under -ffp-contract=fast. So every product passes through
// an empty asm statement that claims to change the value in its register.
// The compiler must then take the product as an unknown value, already
// rounded, and has no multiply left to fuse; the statement itself emits no
// instruction. This holds whatever flags the file is compiled with, the
// build's -ffp-contract=off being only a second guard.
#pragma once

#include "kernel_target.h"

// -ffast-math lets the compiler reorder the additions of a row, which no
// statement in the kernels can prevent: refuse it instead of giving other bits.
#ifdef __FAST_MATH__
#error \
    "the product kernels must not be compiled with -ffast-math: y must be the left-to-right sum of rounded products"
#endif

#if PRODUCT_TIMER_X86
#define ROUNDING_BARRIER_CONSTRAINT "+x"  // an SSE, AVX or AVX-512 register
#elif PRODUCT_TIMER_AARCH64
#define ROUNDING_BARRIER_CONSTRAINT "+w"  // a floating-point / NEON register
#else
#define ROUNDING_BARRIER_CONSTRAINT "+m"  // other processors: through memory
#endif

// The AVX-512VL kernel keeps its products in any of the 32 registers that
// AVX-512 encodings reach: "v" names them all, "x" only the lower 16 (which
// would force the copies that kernel is built to avoid).
#if PRODUCT_TIMER_X86
#define ROUNDING_BARRIER_EVEX_CONSTRAINT "+v"
#else
#define ROUNDING_BARRIER_EVEX_CONSTRAINT ROUNDING_BARRIER_CONSTRAINT
#endif

// Built with PRODUCT_TIMER_WITHOUT_ROUNDING_GUARD (only the tests do, to show
// that the guard matters) the barrier is left out.
#ifdef PRODUCT_TIMER_WITHOUT_ROUNDING_GUARD
#define ROUNDING_BARRIER(value) static_cast<void>(value)
#define ROUNDING_BARRIER_EVEX(value) static_cast<void>(value)
#else
#define ROUNDING_BARRIER(value) asm("" : ROUNDING_BARRIER_CONSTRAINT(value))
#define ROUNDING_BARRIER_EVEX(value) asm("" : ROUNDING_BARRIER_EVEX_CONSTRAINT(value))
#endif

namespace {

__attribute__((always_inline)) inline double rounding_barrier(double product) {
    ROUNDING_BARRIER(product);
    return product;
}

}  // namespace
