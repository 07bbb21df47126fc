// The unit's partition of the rows among the threads and the product it
// computes with them.
#include "product_timer.h"

#include "product_values.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include <omp.h>

TEST(ProductTimerPartition, GivesContiguousBlocksWithTheRemainderFirst) {
    using blocks = std::vector<std::pair<int, int>>;  // {first, count} per thread
    auto partition = [](int m, int T) {
        blocks result;
        for (int t = 0; t < T; ++t) {
            row_block b = thread_rows(m, t, T);
            result.push_back({b.first, b.count});
        }
        return result;
    };
    EXPECT_EQ(partition(7, 3), (blocks{{0, 3}, {3, 2}, {5, 2}}));
    EXPECT_EQ(partition(10, 4), (blocks{{0, 3}, {3, 3}, {6, 2}, {8, 2}}));
    EXPECT_EQ(partition(2, 4), (blocks{{0, 1}, {1, 1}, {2, 0}, {2, 0}}));
    EXPECT_EQ(partition(1, 1), (blocks{{0, 1}}));
    EXPECT_EQ(
        partition(1000, 7),
        (blocks{{0, 143}, {143, 143}, {286, 143}, {429, 143}, {572, 143}, {715, 143}, {858, 142}}));
    EXPECT_EQ(partition(2147483647, 2), (blocks{{0, 1073741824}, {1073741824, 1073741823}}));

    // Every m and T: blocks follow each other, cover 0..m-1, and differ by at
    // most one row with the longer ones first.
    for (int T = 1; T <= 12; ++T) {
        for (int m = 1; m <= 40; ++m) {
            blocks b = partition(m, T);
            int next = 0;
            for (int t = 0; t < T; ++t) {
                EXPECT_EQ(b[t].first, next) << m << " rows, " << T << " threads";
                EXPECT_EQ(b[t].second, m / T + (t < m % T ? 1 : 0));
                next += b[t].second;
            }
            EXPECT_EQ(next, m);
        }
    }
}

TEST(ProductTimerProduct, MatchesThePlainLeftToRightSumForEveryThreadCount) {
    const std::vector<std::pair<int, int>> shapes{
        {1, 1},   {1, 37},     {29, 1},   {2, 5},     {7, 3},     {13, 17},  {25, 6},
        {64, 33}, {100, 1000}, {3, 4099}, {203, 201}, {37, 1024}, {203, 256}};
    // Values over many binades and values in [0, 1) as the program draws
    // them (where a fused multiply-add would change most sums).
    for (auto values : {wide_values, unit_values}) {
        for (auto [m, n] : shapes) {
            std::vector<double> A = values(static_cast<size_t>(m) * n, m * 31u + n);
            std::vector<double> x = values(n, n * 7u + 1);
            std::vector<double> expected = plain_product(A, x, m, n);
            for (int T = 1; T <= 8; ++T) {
                std::vector<double> y(m, -1.0);
                compute_product(A.data(), x.data(), y.data(), m, n, T);
                EXPECT_TRUE(same_bits(y, expected)) << m << " x " << n << ", " << T << " threads";
            }
        }
    }
}

TEST(ProductTimerProduct, FollowsTheTeamTheRuntimeGrants) {
    // Inside an active parallel region with one active level allowed, the
    // inner region gets a single thread however many it requests; that one
    // thread must still compute every row.
    const int m = 37, n = 11;
    std::vector<double> A = wide_values(m * n, 3), x = wide_values(n, 4);
    std::vector<double> expected = plain_product(A, x, m, n);
    std::vector<double> y(m, -1.0);
    int saved_levels = omp_get_max_active_levels();
    omp_set_max_active_levels(1);
#pragma omp parallel num_threads(2)
    {
        if (omp_get_thread_num() == 0) compute_product(A.data(), x.data(), y.data(), m, n, 4);
    }
    omp_set_max_active_levels(saved_levels);
    EXPECT_TRUE(same_bits(y, expected));
}
