// product_timer.cpp built with fusing allowed (-ffp-contract=fast, and -mfma
// on x86). With its rounding barrier every kernel must still give the plain
// loop's bits. The same file built once more without the barrier
// (FUSED_BUILD_UNGUARDED) must give other bits somewhere: that shows the
// compiler does fuse under these flags, so the first build passes because of
// the barrier and not because the compiler happened not to fuse.
#include "product_timer.h"

#include "product_values.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// Whether this processor can run code built for fused multiply-adds.
bool processor_fuses() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("fma") != 0;
#else
    return true;  // ARMv8 has fused multiply-adds in its base instruction set
#endif
}

// Every kernel this processor runs and compute_product with 1 to 4 threads,
// on shapes with leftover rows and columns: the results that differ from the
// plain loop.
std::vector<std::string> results_that_differ() {
    std::vector<std::pair<const char*, row_kernel>> kernels{
        {"portable", multiply_rows_portable},
        {"emulated", multiply_rows_avx512_emulated},
        {"AVX-512VL design, emulated", multiply_rows_avx512vl_emulated}};
    if (wide_kernel_available()) kernels.push_back({"AVX", multiply_rows_wide});
    if (avx512_kernel_available()) kernels.push_back({"AVX-512", multiply_rows_avx512});
    if (avx512vl_kernel_available()) kernels.push_back({"AVX-512VL", multiply_rows_avx512vl});
    if (neon_kernel_available()) kernels.push_back({"NEON", multiply_rows_neon});
    std::vector<std::string> differ;
    for (auto [m, n] : std::vector<std::pair<int, int>>{{1, 37}, {13, 17}, {27, 33}, {64, 100}}) {
        const std::string shape = std::to_string(m) + " x " + std::to_string(n);
        std::vector<double> A = unit_values(static_cast<size_t>(m) * n, m * 31u + n);
        std::vector<double> x = unit_values(n, n * 7u + 1);
        std::vector<double> expected = plain_product(A, x, m, n);
        for (auto [name, multiply] : kernels) {
            std::vector<double> y(m, -1.0);
            multiply(A.data(), x.data(), y.data(), 0, m, n);
            if (!same_bits(y, expected)) differ.push_back(std::string(name) + ", " + shape);
        }
        for (int T = 1; T <= 4; ++T) {
            std::vector<double> y(m, -1.0);
            compute_product(A.data(), x.data(), y.data(), m, n, T);
            if (!same_bits(y, expected))
                differ.push_back(shape + ", " + std::to_string(T) + " threads");
        }
    }
    return differ;
}

}  // namespace

#ifndef FUSED_BUILD_UNGUARDED
TEST(ProductTimerFusedBuild, KeepsThePlainLoopsBits) {
    if (!processor_fuses())
        GTEST_SKIP() << "this processor has no fused multiply-add (FMA), so the build that "
                        "allows fusing cannot run here";
    EXPECT_EQ(results_that_differ(), std::vector<std::string>{});
}
#else
TEST(ProductTimerFusedBuild, DiffersWithoutTheRoundingBarrier) {
    if (!processor_fuses())
        GTEST_SKIP() << "this processor has no fused multiply-add (FMA), so the build that "
                        "allows fusing cannot run here";
    EXPECT_FALSE(results_that_differ().empty())
        << "built without the rounding barrier and with fusing allowed, every kernel still gave "
           "the plain loop's bits: the compiler did not fuse, and the guarded build proves "
           "nothing";
}
#endif
