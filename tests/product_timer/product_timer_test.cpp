#include "product_timer.h"

#include "product_values.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <omp.h>
#include <unistd.h>

namespace {

const std::string program = PRODUCT_TIMER_PATH;
const std::string usage_line = "usage: " + program + " <thread_count> <m> <n>\n";
const std::string help_hint = "Try '" + program + " --help' for more information.\n";
const std::string memory_line = "Memory could not be allocated, exiting\n";

run_result run_timer(const std::vector<std::string>& args, const std::string& dir) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, dir);
}

// stderr without the notes a sanitizer adds ("==pid==WARNING: ... failed to
// allocate ..." when an instrumented build is refused memory).
std::string without_sanitizer_notes(const std::string& err) {
    std::string kept;
    size_t start = 0;
    while (start < err.size()) {
        size_t end = err.find('\n', start);
        end = end == std::string::npos ? err.size() : end + 1;
        if (err.compare(start, 2, "==") != 0) kept += err.substr(start, end - start);
        start = end;
    }
    return kept;
}

// Each argument list must be refused: status 1, nothing on stdout, exactly
// `err` on stderr (less a sanitizer's notes).
void expect_refused(const std::vector<std::vector<std::string>>& cases, const std::string& err) {
    const std::string dir = make_scratch_dir();
    for (const auto& args : cases) {
        run_result r = run_timer(args, dir);
        SCOPED_TRACE(::testing::PrintToString(args));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(without_sanitizer_notes(r.err), err);
    }
    EXPECT_TRUE(list_dir(dir).empty());
}

// True when out is exactly one time line: the number, printed again with
// "%e", must give back the same characters.
bool is_time_line(const std::string& out) {
    const std::string head = "Elapsed time of multiplication part only = ", tail = " seconds\n";
    if (out.size() <= head.size() + tail.size() || out.compare(0, head.size(), head) != 0 ||
        out.compare(out.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string number = out.substr(head.size(), out.size() - head.size() - tail.size());
    char again[64];
    std::snprintf(again, sizeof again, "%e", std::strtod(number.c_str(), nullptr));
    return number == again;
}

// What this process writes on standard output while `action` runs (kept in a
// file in dir).
std::string capture_stdout(const std::string& dir, const std::function<void()>& action) {
    const std::string path = dir + "/stdout.txt";
    std::fflush(stdout);
    int saved = dup(1);
    std::FILE* sink = std::fopen(path.c_str(), "w");
    dup2(fileno(sink), 1);
    action();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::fclose(sink);
    return read_file(path);
}

// Makes text the standard input of this process (through a file in dir).
void set_stdin(const std::string& dir, const std::string& text) {
    const std::string path = dir + "/stdin.txt";
    write_file(path, text);
    ASSERT_NE(std::freopen(path.c_str(), "r", stdin), nullptr);
}

}  // namespace

TEST(ProductTimerProgram, RefusesBadArgumentsWithUsageLine) {
    const std::vector<std::vector<std::string>> refused{
        {}, {"2", "3"}, {"2", "3", "4", "5"},
        {"0", "3", "4"}, {"2", "0", "4"}, {"2", "3", "0"},
        {"-1", "3", "4"}, {"2", "-3", "4"}, {"2", "3", "-4"},
        {"x", "3", "4"}, {"2", "abc", "4"}, {"2", "3", ""},
        // A value that would wrap to a small positive number if narrowed
        // instead of saturated; a thread count above the cap with a size
        // that is refused anyway.
        {"2", "-4294967295", "4"}, {"1025", "0", "4"},
    };
    expect_refused(refused, usage_line + help_hint);

    // Above the thread cap (4294967297 saturates rather than wrapping to 1):
    // the usage line, then the cap.
    const std::vector<std::vector<std::string>> too_many_threads{
        {"100000", "3", "4"}, {"1025", "3", "4"}, {"4294967297", "3", "4"}};
    expect_refused(too_many_threads, usage_line + "At most 1024 threads are accepted\n" + help_hint);
}

TEST(ProductTimerProgram, HelpAndVersion) {
    expect_help_and_version(PRODUCT_TIMER_PATH, "product_timer", "<thread_count> <m> <n>");
}

TEST(ProductTimerProgram, RunsAndPrintsOnlyTheTimeLine) {
    const std::string dir = make_scratch_dir();
    const std::vector<std::vector<std::string>> accepted{
        {"1", "1", "1"}, {"3", "7", "5"}, {"4", "2", "3"},
        {"8abc", "5", "5"}, {"2", "8abc", "5"}, {"2", "5", "8abc"}, {" +2", "5", "5"},
        {"1024", "3", "2"},
    };
    for (const auto& args : accepted) {
        run_result r = run_timer(args, dir);
        SCOPED_TRACE(::testing::PrintToString(args));
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(is_time_line(r.out)) << r.out;
        EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(list_dir(dir).empty());
}

TEST(ProductTimerProgram, ReportsSizesThatCannotBeAllocated) {
    const std::vector<std::vector<std::string>> too_big{
        // 4294967298 saturates to INT_MAX rows: 2^31 * 10000 doubles (156 TiB)
        // fit no process's address space, even where memory is overcommitted.
        {"1", "4294967298", "10000"},
        {"1", "10000", "4294967296"},
        // INT_MAX * INT_MAX * 8 bytes overflows a 64-bit size.
        {"1", "2147483647", "2147483647"},
        {"2", "4294967298", "4294967298"},
    };
    expect_refused(too_big, memory_line);
}

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
    EXPECT_EQ(partition(1000, 7),
              (blocks{{0, 143}, {143, 143}, {286, 143}, {429, 143}, {572, 143}, {715, 143},
                      {858, 142}}));
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
        {1, 1}, {1, 37}, {29, 1}, {2, 5}, {7, 3}, {13, 17}, {25, 6}, {64, 33}, {100, 1000},
        {3, 4099}, {203, 201}, {37, 1024}, {203, 256}};
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

// Every kernel this processor can run, the 512-bit design in its emulated
// build included.
std::vector<std::pair<const char*, row_kernel>> runnable_kernels() {
    std::vector<std::pair<const char*, row_kernel>> kernels{
        {"portable", multiply_rows_portable},
        {"dispatched", multiply_rows},
        {"AVX-512 design, emulated", multiply_rows_avx512_emulated}};
    if (wide_kernel_available()) kernels.push_back({"AVX", multiply_rows_wide});
    if (avx512_kernel_available()) kernels.push_back({"AVX-512", multiply_rows_avx512});
    if (neon_kernel_available()) kernels.push_back({"NEON", multiply_rows_neon});
    return kernels;
}

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
    // telling columns sit at every offset within a vector.
    const double a = 1.0 + std::ldexp(1.0, -30);
    const int m = 27;
    for (int lead = 0; lead < 6; ++lead) {
        const int n = lead + 4 + lead % 3;
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
    const std::vector<double> specials{-0.0, 0.0, 1e-300, -1e-300, 3.0 * tiny, inf, -inf,
                                       std::numeric_limits<double>::quiet_NaN(), 1.5, -2.25};
    const auto kernels = runnable_kernels();
    for (int n : {5, 8, 17, 256}) {
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
    const char* expected = avx512vl_kernel_preferred()  ? "AVX-512VL"
                           : avx512_kernel_available() ? "AVX-512"
                           : wide_kernel_available() ? "AVX"
                           : neon_kernel_available() ? "NEON"
                                                     : "portable";
    EXPECT_STREQ(kernel_name(select_kernel()), expected);
    // Kernels of another processor family run the portable code and are
    // named so.
#if defined(__x86_64__) || defined(__i386__)
    EXPECT_FALSE(neon_kernel_available());
    EXPECT_STREQ(kernel_name(multiply_rows_neon), "portable");
#else
    EXPECT_FALSE(wide_kernel_available() || avx512_kernel_available());
    EXPECT_STREQ(kernel_name(multiply_rows_wide), "portable");
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

TEST(ProductTimerGeneration, DrawsTheGeneratorSequenceRowByRowThenTheVector) {
    srandom(1);
    std::vector<double> expected(3 * 4 + 4);
    for (double& v : expected) v = static_cast<double>(random()) / 2147483647.0;
    const long next_draw = random();

    srandom(1);
    std::vector<double> A(12), x(4), y(3);
    gen_matrix(A.data(), 3, 4);
    gen_vector(x.data(), 4);
    // Sizes of 0 or less draw nothing, and the product draws nothing either.
    gen_matrix(A.data(), 0, 4);
    gen_matrix(A.data(), 3, -1);
    gen_vector(x.data(), 0);
    compute_product(A.data(), x.data(), y.data(), 3, 4, 3);
    EXPECT_EQ(random(), next_draw);

    // A then x, as drawn (built element by element: GCC 11 warns, wrongly,
    // that inserting x into A overflows).
    std::vector<double> drawn;
    for (const std::vector<double>* part : {&A, &x})
        for (double v : *part) drawn.push_back(v);
    EXPECT_TRUE(same_bits(drawn, expected));
    for (double v : drawn) {
        EXPECT_GE(v, 0.0);
        EXPECT_LE(v, 1.0);
    }
}

TEST(ProductTimerConsole, ReadsValuesAndSkipsWordsThatAreNoNumbers) {
    const std::string dir = make_scratch_dir();
    std::vector<double> A{9, 9, 9, 9, 9, 9};
    set_stdin(dir, "1.5 -2\n abc 4e1\n7x 8");
    EXPECT_EQ(capture_stdout(dir, [&] { read_matrix("Enter A", A.data(), 2, 3); }), "Enter A\n");
    // "abc" fails and is skipped; "7x" gives 7, then "x" fails for the last.
    EXPECT_EQ(A, (std::vector<double>{1.5, -2, 9, 40, 7, 9}));

    std::vector<double> x{5, 5, 5, 5};
    set_stdin(dir, "0.25 ? 3");
    EXPECT_EQ(capture_stdout(dir, [&] { read_vector("Enter x", x.data(), 4); }), "Enter x\n");
    // The input ends before the last element, which keeps its value.
    EXPECT_EQ(x, (std::vector<double>{0.25, 5, 3, 5}));
}

TEST(ProductTimerConsole, PrintsRowsAndVectorsInFixedWidth) {
    const std::string dir = make_scratch_dir();
    const std::vector<double> A{1.0, 12.5, -3.0, 0.04, 100.0, 2.25};
    EXPECT_EQ(capture_stdout(dir, [&] { print_matrix("A", A.data(), 2, 3); }),
              "A\n 1.0 12.5 -3.0 \n 0.0 100.0  2.2 \n");
    EXPECT_EQ(capture_stdout(dir, [&] { print_matrix("A", A.data(), 2, 0); }), "A\n\n\n");
    EXPECT_EQ(capture_stdout(dir, [&] { print_matrix("A", A.data(), 0, 3); }), "A\n");

    EXPECT_EQ(capture_stdout(dir, [&] { print_vector("y", A.data(), 2.5); }), "y\n 1.0 12.5 -3.0 \n");
    EXPECT_EQ(capture_stdout(dir, [&] { print_vector("y", A.data(), 3.0); }), "y\n 1.0 12.5 -3.0 \n");
    EXPECT_EQ(capture_stdout(dir, [&] { print_vector("y", A.data(), 0.0); }), "y\n\n");
    EXPECT_EQ(capture_stdout(dir, [&] { print_vector("y", A.data(), -1.0); }), "y\n\n");
    EXPECT_EQ(capture_stdout(dir, [&] { print_vector("y", A.data(), std::nan("")); }), "y\n\n");
}

// One number of seconds on a line of its own, as the helpers print it.
bool is_seconds_line(const std::string& out) {
    char* end = nullptr;
    const double value = std::strtod(out.c_str(), &end);
    return !out.empty() && value >= 0.0 && std::string(end) == "\n";
}

#ifdef PRODUCT_WARM_PATH
TEST(ProductTimerTools, WarmHelperPrintsItsMedianAndRefusesBadArguments) {
    const std::string dir = make_scratch_dir();
    run_result r = run_program({PRODUCT_WARM_PATH, "2", "37", "11", "3"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(is_seconds_line(r.out)) << r.out;
    EXPECT_EQ(r.err, "");
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{}, {"2", "3"}, {"0", "3", "4"}, {"1025", "3", "4"},
                                               {"2", "x", "4"}, {"2", "3", "4", "0"}}) {
        std::vector<std::string> argv{PRODUCT_WARM_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        r = run_program(argv, dir);
        SCOPED_TRACE(::testing::PrintToString(args));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err, "");
    }
    EXPECT_TRUE(list_dir(dir).empty());
}
#endif

#ifdef DGEMV_ONCE_PATH
TEST(ProductTimerTools, ColdYardstickPrintsOneTime) {
    const std::string dir = make_scratch_dir();
    run_result r = run_program({DGEMV_ONCE_PATH, "2", "37", "11"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(is_seconds_line(r.out)) << r.out;
    r = run_program({DGEMV_ONCE_PATH, "2", "0", "11"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(list_dir(dir).empty());
}
#endif
