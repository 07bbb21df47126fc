// The kernels of the table, each on its own and as dispatched: every row of
// the table that this processor can run is checked, so a new kernel is
// tested by adding its row.
#include "kernels.h"
#include "product_timer.h"

#include "product_values.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

// Every kernel of the table this processor can run, the 512-bit design in
// its emulated build included, and the dispatched one.
std::vector<std::pair<const char*, row_kernel>> runnable_kernels() {
    std::vector<std::pair<const char*, row_kernel>> kernels{{"dispatched", multiply_rows}};
    const kernel_list table = kernel_table();
    for (int k = 0; k < table.count; ++k)
        if (table.entries[k].available())
            kernels.push_back({table.entries[k].name, table.entries[k].multiply});
    return kernels;
}

}  // namespace

TEST(ProductTimerKernels, SumEveryRowOfTheirBlockLeftToRight) {
    const auto kernels = runnable_kernels();

    // Every row count up to past two blocks of twelve, so that each way of
    // splitting a block into twelves, eights, fours and a short rest is taken,
    // and column counts on both sides of the vector width.
    for (auto [name, multiply] : kernels) {
        for (int m = 1; m <= 27; ++m) {
            for (int n : {1, 2, 3, 4, 5, 7, 8, 9, 16, 33}) {
                std::vector<double> A = wide_values(static_cast<size_t>(m) * n, m * 131u + n);
                std::vector<double> x = wide_values(n, n * 7u + 3);
                std::vector<double> expected = plain_product(A, x, m, n);
                for (int first : {0, 3}) {
                    if (first >= m) continue;
                    std::vector<double> y(m, -7.0);
                    multiply(A.data(), x.data(), y.data(), first, m - first, n);
                    // Rows before the block stay untouched.
                    std::fill(expected.begin(), expected.begin() + first, -7.0);
                    EXPECT_TRUE(same_bits(y, expected))
                        << name << ": rows " << first << ".." << m - 1 << " of " << m << " x " << n;
                }
            }
        }
    }

    // Each product is rounded before it is added, and each sum runs left to
    // right: the even rows sum to a (adding in another order gives 2), the
    // odd rows to 0 (a fused multiply-add would leave 2^-60). The four
    // telling columns sit at offsets 0 to 11: every offset within a vector
    // and a cache line.
    const double a = 1.0 + std::ldexp(1.0, -30);
    const int m = 27;
    for (int lead = 0; lead < 12; ++lead) {
        const int n = lead + 4 + lead % 5;
        std::vector<double> x(n, 1.0), A(static_cast<size_t>(m) * n, 0.0), expected;
        x[lead + 3] = a;
        for (int i = 0; i < m; ++i) {
            double* row = &A[static_cast<size_t>(i) * n + lead];
            if (i % 2 == 0) {
                row[0] = 1e16, row[1] = 1.0, row[2] = -1e16, row[3] = 1.0;
                expected.push_back(a);
            } else {
                row[0] = -(1.0 + std::ldexp(1.0, -29)), row[3] = a;
                expected.push_back(0.0);
            }
        }
        for (auto [name, multiply] : kernels) {
            std::vector<double> y(m, -1.0);
            multiply(A.data(), x.data(), y.data(), 0, m, n);
            EXPECT_TRUE(same_bits(y, expected)) << name << ", " << lead << " leading columns";
        }
        for (int T = 1; T <= 4; ++T) {
            std::vector<double> y(m, -1.0);
            compute_product(A.data(), x.data(), y.data(), m, n, T);
            EXPECT_TRUE(same_bits(y, expected)) << T << " threads, " << lead << " leading columns";
        }
    }
}

TEST(ProductTimerKernels, AlignTheirStepsWhatEverTheRowsAlignment) {
    // With n a multiple of 8 all rows share one alignment, and the vector
    // kernels take single columns until a cache line starts: every start
    // offset within a line, every block split, and column counts up to a
    // power-of-two stride.
    const auto kernels = runnable_kernels();
    for (int n : {8, 16, 24, 64, 1024}) {
        for (int m : {1, 4, 7, 8, 12, 13, 20, 27}) {
            std::vector<double> A0 = wide_values(static_cast<size_t>(m) * n + 8, m * 17u + n);
            std::vector<double> x0 = wide_values(n + 8, n * 3u + 5);
            for (int offset = 0; offset < 8; ++offset) {
                const double* A = A0.data() + offset;
                const double* x = x0.data() + (offset * 5) % 8;
                std::vector<double> Av(A, A + static_cast<size_t>(m) * n), xv(x, x + n);
                std::vector<double> expected = plain_product(Av, xv, m, n);
                for (auto [name, multiply] : kernels) {
                    std::vector<double> y(m, -1.0);
                    multiply(A, x, y.data(), 0, m, n);
                    EXPECT_TRUE(same_bits(y, expected))
                        << name << ": " << m << " x " << n << ", matrix at offset " << offset;
                }
            }
        }
    }
}

TEST(ProductTimerKernels, KeepSignedZerosInfinitiesNansAndSubnormals) {
    // Values whose sums expose a kernel that starts from -0.0, flushes
    // subnormal results to zero, or skips products: signed zeros, products
    // below the smallest normal double, infinities (inf - inf gives NaN) and
    // NaN, mixed with ordinary numbers at every position.
    const double inf = std::numeric_limits<double>::infinity();
    const double tiny = std::numeric_limits<double>::denorm_min();
    const std::vector<double> specials{
        -0.0,       0.0,  1e-300, -1e-300,
        3.0 * tiny, inf,  -inf,   std::numeric_limits<double>::quiet_NaN(),
        1.5,        -2.25};
    const auto kernels = runnable_kernels();
    for (int n : {5, 8, 17, 256, 768}) {
        const int m = 27;
        std::vector<double> A = wide_values(static_cast<size_t>(m) * n, n * 5u + 1);
        std::vector<double> x = wide_values(n, n * 11u + 2);
        unsigned seed = 7;
        for (double& a : A) {
            seed = seed * 1103515245u + 12345u;
            // Rows of only zeros or tiny values, and special values scattered.
            if (seed % 5 == 0) a = specials[(seed >> 8) % specials.size()];
        }
        // Row 0: only -0.0, whose sum from +0.0 is +0.0 (from -0.0 it would
        // stay -0.0). Row 1: products around and below the smallest normal.
        for (int j = 0; j < n; ++j) {
            A[j] = -0.0;
            A[static_cast<size_t>(n) + j] = 1e-305;
        }
        std::vector<double> expected = plain_product(A, x, m, n);
        // A NaN sum is the only exception to same bits: which of two NaNs an
        // addition passes on (and so its sign and payload) depends on the
        // operand order the compiler picks for the instruction, and addition
        // is commutative to the compiler. Every NaN is therefore made one.
        auto one_nan = [](std::vector<double> v) {
            for (double& e : v)
                if (std::isnan(e)) e = std::numeric_limits<double>::quiet_NaN();
            return v;
        };
        for (auto [name, multiply] : kernels) {
            std::vector<double> y(m, -1.0);
            multiply(A.data(), x.data(), y.data(), 0, m, n);
            EXPECT_TRUE(same_bits(one_nan(y), one_nan(expected))) << name << ", n = " << n;
        }
        EXPECT_FALSE(std::signbit(expected[0]));
        EXPECT_TRUE(std::count_if(expected.begin(), expected.end(),
                                  [](double e) { return std::isnan(e); }) > 0);
    }
}

TEST(ProductTimerKernels, PickTheWidestTheProcessorHas) {
    const char* expected = measured_kernel() != nullptr ? measured_kernel()->name
                           : avx512_kernel_available()  ? "AVX-512"
                           : avx_kernel_available()     ? "AVX"
                           : neon_kernel_available()    ? "NEON"
                                                        : "portable";
    EXPECT_STREQ(kernel_name(select_kernel()), expected);
    // Kernels of another processor family run the portable code and are
    // named so.
#if defined(__x86_64__) || defined(__i386__)
    EXPECT_FALSE(neon_kernel_available());
    EXPECT_STREQ(kernel_name(multiply_rows_neon), "portable");
#else
    EXPECT_FALSE(avx_kernel_available() || avx512_kernel_available());
    EXPECT_STREQ(kernel_name(multiply_rows_avx), "portable");
    EXPECT_STREQ(kernel_name(multiply_rows_avx512), "portable");
#endif
#if defined(__aarch64__)
    EXPECT_TRUE(neon_kernel_available());
#endif
}

TEST(ProductTimerKernels, Avx512MatchesThePlainLoopOnThisProcessor) {
    if (!avx512_kernel_available())
        GTEST_SKIP() << "this processor has no AVX-512F, so the 512-bit kernel cannot run here "
                        "(its code is checked bit for bit in its emulated build by the other "
                        "kernel tests)";
    for (int m : {1, 3, 8, 12, 20, 27, 203}) {
        for (int n : {1, 7, 8, 9, 15, 64, 201, 1024}) {
            std::vector<double> A = wide_values(static_cast<size_t>(m) * n, m * 29u + n);
            std::vector<double> x = wide_values(n, n * 13u + 7);
            std::vector<double> expected = plain_product(A, x, m, n);
            std::vector<double> y(m, -1.0);
            multiply_rows_avx512(A.data(), x.data(), y.data(), 0, m, n);
            EXPECT_TRUE(same_bits(y, expected)) << m << " x " << n;
            for (int T = 1; T <= 8; ++T) {
                std::fill(y.begin(), y.end(), -1.0);
                compute_product(A.data(), x.data(), y.data(), m, n, T);
                EXPECT_TRUE(same_bits(y, expected)) << m << " x " << n << ", " << T << " threads";
            }
        }
    }
}

TEST(ProductTimerKernels, TableNamesEachKernelOnceAndDispatchTakesItsFirstRunnableRow) {
    const kernel_list table = kernel_table();
    std::vector<std::string> names;
    std::set<std::string> keys;
    const kernel_entry* first_runnable = nullptr;
    for (int k = 0; k < table.count; ++k) {
        const kernel_entry& kernel = table.entries[k];
        names.push_back(kernel.name);
        EXPECT_TRUE(keys.insert(kernel.key).second) << kernel.key << " twice";
        EXPECT_EQ(find_kernel(kernel.key), &kernel);
        EXPECT_STREQ(kernel_name(kernel.multiply), kernel.name);
        if (first_runnable == nullptr && kernel.available()) first_runnable = &kernel;
    }
    // The names printed and documented, in order of preference.
#if defined(__x86_64__) || defined(__i386__)
    const std::vector<std::string> expected{"AVX-512",
                                            "AVX-512VL",
                                            "AVX",
                                            "portable",
                                            "AVX-512 design, emulated",
                                            "AVX-512VL design, emulated"};
#elif defined(__aarch64__)
    const std::vector<std::string> expected{"NEON", "portable", "AVX-512 design, emulated",
                                            "AVX-512VL design, emulated"};
#else
    const std::vector<std::string> expected{"portable", "AVX-512 design, emulated",
                                            "AVX-512VL design, emulated"};
#endif
    EXPECT_EQ(names, expected);
    EXPECT_EQ(find_kernel("AVX-512"), nullptr);
    EXPECT_EQ(find_kernel(""), nullptr);
    // The tests run without PRODUCT_TIMER_KERNEL (the program's tests set it
    // in the child only), so dispatch takes the kernel measured fastest on
    // this processor's family, else the first row the processor runs, and
    // keeps it.
    ASSERT_NE(first_runnable, nullptr);
    const kernel_entry* measured = measured_kernel();
    if (measured != nullptr) {
        EXPECT_TRUE(measured->available());
    }
    EXPECT_EQ(select_kernel(), (measured != nullptr ? measured : first_runnable)->multiply);
    EXPECT_EQ(select_kernel(), select_kernel());
}
