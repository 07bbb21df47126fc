// The unit's data generation and its console input and output.
#include "product_timer.h"

#include "product_values.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

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

    EXPECT_EQ(capture_stdout(dir, [&] { print_vector("y", A.data(), 2.5); }),
              "y\n 1.0 12.5 -3.0 \n");
    EXPECT_EQ(capture_stdout(dir, [&] { print_vector("y", A.data(), 3.0); }),
              "y\n 1.0 12.5 -3.0 \n");
    EXPECT_EQ(capture_stdout(dir, [&] { print_vector("y", A.data(), 0.0); }), "y\n\n");
    EXPECT_EQ(capture_stdout(dir, [&] { print_vector("y", A.data(), -1.0); }), "y\n\n");
    EXPECT_EQ(capture_stdout(dir, [&] { print_vector("y", A.data(), std::nan("")); }), "y\n\n");
}
