// The processor family the kernels are compiled for, and the region in which
// the vector kernels of aarch64 are compiled without SVE.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#define PRODUCT_TIMER_X86 1
#else
#define PRODUCT_TIMER_X86 0
#endif
#if defined(__aarch64__)
#define PRODUCT_TIMER_AARCH64 1
#else
#define PRODUCT_TIMER_AARCH64 0
#endif

// GCC on aarch64 with SVE enabled (-march=armv9-a, -mcpu=neoverse-v1)
// carries out 32- and 64-byte generic vectors one double at a time, since SVE
// vectors have no fixed size. The vector kernels are therefore compiled
// without SVE: NEON, which every ARMv8 processor has, holds them. A file
// opens the region before it includes vector_design.h and closes it after
// the functions that instantiate the design.
#if PRODUCT_TIMER_AARCH64 && defined(__GNUC__) && !defined(__clang__)
#define PRODUCT_TIMER_NOSVE_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"+nosve\")")
#define PRODUCT_TIMER_NOSVE_END _Pragma("GCC pop_options")
#else
#define PRODUCT_TIMER_NOSVE_BEGIN
#define PRODUCT_TIMER_NOSVE_END
#endif
