// The AVX-512VL kernel (three software-pipelined groups of four rows) against
// the plain left-to-right loop, bit for bit: its emulated build everywhere,
// its native build where the processor has AVX-512F and AVX-512VL.
#include "kernels.h"
#include "product_timer.h"

#include "product_values.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include <omp.h>

namespace {

using named_kernel = std::pair<const char*, row_kernel>;

const named_kernel emulated{"AVX-512VL design, emulated", multiply_rows_avx512vl_emulated};
const named_kernel native{"AVX-512VL", multiply_rows_avx512vl};

// y = A*x with the kernel, in the row blocks that a team of T threads takes.
std::vector<double> product_with(row_kernel kernel, const std::vector<double>& A,
                                 const std::vector<double>& x, int m, int n, int T) {
    std::vector<double> y(m, -1.0);
#pragma omp parallel num_threads(T)
    {
        row_block rows = thread_rows(m, omp_get_thread_num(), omp_get_num_threads());
        kernel(A.data(), x.data(), y.data(), rows.first, rows.count, n);
    }
    return y;
}

// Row counts through every split into twelves, eights, fours and a rest of
// one to three rows, from every start row of a block, with column counts on
// both sides of a step. (The telling columns of a sum that only the left to
// right order of rounded products gives are checked for every kernel of the
// table, this one included, in kernels_test.cpp, as are signed zeros,
// subnormal products, infinities and NaN.)
void expect_every_block_summed_left_to_right(named_kernel kernel) {
    for (int m = 1; m <= 27; ++m) {
        for (int n : {1, 2, 3, 4, 5, 7, 8, 9, 12, 16, 17, 33}) {
            std::vector<double> A = wide_values(static_cast<size_t>(m) * n, m * 131u + n);
            std::vector<double> x = wide_values(n, n * 7u + 3);
            std::vector<double> expected = plain_product(A, x, m, n);
            for (int first : {0, 3, 5}) {
                if (first >= m) continue;
                std::vector<double> y(m, -7.0);
                kernel.second(A.data(), x.data(), y.data(), first, m - first, n);
                std::fill(expected.begin(), expected.begin() + first, -7.0);
                EXPECT_TRUE(same_bits(y, expected)) << kernel.first << ": rows " << first << ".."
                                                    << m - 1 << " of " << m << " x " << n;
            }
        }
    }
}

// Every start offset within a cache line, with strides that do and do not
// make the groups run apart (multiples of 256 columns do, when the rows are
// long enough for the lead), and blocks of one, two and three groups.
void expect_every_alignment_and_lead(named_kernel kernel) {
    for (int n : {8, 16, 24, 64, 256, 264, 512, 1024}) {
        for (int m : {1, 4, 7, 8, 12, 13, 20, 27}) {
            std::vector<double> A0 = wide_values(static_cast<size_t>(m) * n + 8, m * 17u + n);
            std::vector<double> x0 = wide_values(n + 8, n * 3u + 5);
            for (int offset = 0; offset < 8; ++offset) {
                const double* A = A0.data() + offset;
                const double* x = x0.data() + (offset * 5) % 8;
                std::vector<double> Av(A, A + static_cast<size_t>(m) * n), xv(x, x + n);
                std::vector<double> expected = plain_product(Av, xv, m, n);
                std::vector<double> y(m, -1.0);
                kernel.second(A, x, y.data(), 0, m, n);
                EXPECT_TRUE(same_bits(y, expected))
                    << kernel.first << ": " << m << " x " << n << ", matrix at offset " << offset;
            }
        }
    }
}

// The shapes the product and the other kernels are checked on, in the row
// blocks of 1 to 8 threads, with widely spread values and with values in
// [0, 1) like the program's.
void expect_every_thread_count(named_kernel kernel) {
    const std::vector<std::pair<int, int>> shapes{
        {1, 1},     {1, 37},  {29, 1},     {2, 5},    {7, 3},     {13, 17},
        {25, 6},    {64, 33}, {100, 1000}, {3, 4099}, {203, 201}, {37, 1024},
        {203, 256}, {27, 64}, {12, 9},     {20, 15},  {203, 1024}};
    for (auto values : {wide_values, unit_values}) {
        for (auto [m, n] : shapes) {
            std::vector<double> A = values(static_cast<size_t>(m) * n, m * 31u + n);
            std::vector<double> x = values(n, n * 7u + 1);
            std::vector<double> expected = plain_product(A, x, m, n);
            for (int T = 1; T <= 8; ++T)
                EXPECT_TRUE(same_bits(product_with(kernel.second, A, x, m, n, T), expected))
                    << kernel.first << ": " << m << " x " << n << ", " << T << " threads";
        }
    }
}

void expect_plain_loop_bits(named_kernel kernel) {
    expect_every_block_summed_left_to_right(kernel);
    expect_every_alignment_and_lead(kernel);
    expect_every_thread_count(kernel);
}

}  // namespace

TEST(ProductTimerAvx512vlKernel, EmulatedBuildGivesThePlainLoopsBits) {
    expect_plain_loop_bits(emulated);
}

TEST(ProductTimerAvx512vlKernel, NativeBuildGivesThePlainLoopsBits) {
    if (!avx512vl_kernel_available())
        GTEST_SKIP() << "this processor lacks AVX-512F or AVX-512VL, so the native kernel cannot "
                        "run here (its design is checked in the emulated build)";
    expect_plain_loop_bits(native);
}

TEST(ProductTimerAvx512vlKernel, HasItsOwnNameOnlyWhereItCanExist) {
    EXPECT_STREQ(kernel_name(multiply_rows_avx512vl_emulated), "AVX-512VL design, emulated");
#if defined(__x86_64__) || defined(__i386__)
    EXPECT_STREQ(kernel_name(multiply_rows_avx512vl), "AVX-512VL");
    // AVX-512VL comes only with AVX-512F.
    if (avx512vl_kernel_available()) {
        EXPECT_TRUE(avx512_kernel_available());
    }
#else
    EXPECT_FALSE(avx512vl_kernel_available());
    EXPECT_STREQ(kernel_name(multiply_rows_avx512vl), "portable");
#endif
}
