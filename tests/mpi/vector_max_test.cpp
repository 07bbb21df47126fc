// vector_max under the launcher: result line, exit status, rank log files.
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

struct vector_case {
    const char* name;  // subdirectory of the test's scratch directory
    int np;
    std::string data;  // content of data.txt
    std::string max;   // expected maximum, as printed
    std::string err;   // expected standard error
};

// Runs vector_max on data.txt in a fresh subdirectory and checks a completed run.
void expect_completed_run(const std::string& scratch, const vector_case& c) {
    SCOPED_TRACE(c.name);
    const std::string dir = scratch + "/" + c.name;
    std::filesystem::create_directory(dir);
    write_file(dir + "/data.txt", c.data);
    run_result r = run_program(mpi_command(c.np, VECTOR_MAX_PATH, {"data.txt"}), dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "The max value in data.txt is " + c.max + " \n");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"data.txt", "vector_max_p0.log"}));
    EXPECT_EQ(read_file(dir + "/vector_max_p0.log"), "The final result is " + c.max + "\n");
}

std::string numbers(int from, int to) {
    std::string text;
    for (int i = from; i <= to; ++i) text += std::to_string(i) + (i % 10 == 0 ? "\n" : " ");
    return text;
}

}  // namespace

TEST(VectorMax, EveryStoredValueCountsWhateverTheRankCount) {
    const std::string scratch = make_scratch_dir();
    const vector_case cases[] = {
        {"eight_on_four", 4, "5 3 8 1 7 2 6 40\n", "40", ""},
        {"ten_on_three_largest_last", 3, "1 2 3 4 5 6 7 8 9 99\n", "99", ""},
        {"three_on_four", 4, "5 -1 3\n", "5", ""},
        {"one_rank", 1, "4 8 15 16 42 23 7\n", "42", ""},
        {"all_negative", 2, "-7 -3 -9 -4\n", "-3", ""},
        {"smallest_int_alone", 2, "-2147483648", "-2147483648", ""},
        {"white_space_and_signs", 2, "\t+5\n\n  -2 2147483647\t3\n", "2147483647", ""},
    };
    for (const vector_case& c : cases) expect_completed_run(scratch, c);

    // A second run in the same directory appends to rank 0's log.
    const std::string dir = scratch + "/eight_on_four";
    run_result r = run_program(mpi_command(4, VECTOR_MAX_PATH, {"data.txt"}), dir);
    EXPECT_EQ(r.out, "The max value in data.txt is 40 \n");
    EXPECT_EQ(read_file(dir + "/vector_max_p0.log"),
              "The final result is 40\nThe final result is 40\n");
}

TEST(VectorMax, ReadingStopsAtTheHundredthValueOrTheFirstNonInteger) {
    const std::string scratch = make_scratch_dir();
    const std::string too_many = "Only the first 100 values of data.txt are used\n";
    const std::string not_integer =
        "Reading of data.txt stopped at an item that is not an integer; the values after it are "
        "ignored\n";
    const vector_case cases[] = {
        {"hundred_fifty_on_one", 1, numbers(1, 150), "100", too_many},
        {"hundred_fifty_on_three", 3, numbers(1, 150), "100", too_many},
        {"exactly_hundred", 3, numbers(1, 100), "100", ""},
        {"stops_at_x", 2, "5 7 x 9\n", "7", not_integer},
        {"comma_separated", 2, "1,2,3,99\n", "1", not_integer},
        {"lone_sign_at_end", 1, "3 -", "3", not_integer},
        {"hundred_then_word", 2, numbers(1, 100) + "end\n", "100", not_integer},
        {"stops_at_out_of_range", 2, "4 2147483648 9\n", "4",
         "Integer out of range in data.txt; it and the values after it are ignored\n"},
        {"negative_out_of_range", 1, "4 -2147483649 9\n", "4",
         "Integer out of range in data.txt; it and the values after it are ignored\n"},
        // A UTF-8 byte-order mark is skipped at the very start of the file only.
        {"byte_order_mark", 2,
         "\xEF\xBB\xBF"
         "5 9 3\r\n",
         "9", ""},
        {"byte_order_mark_later", 1,
         "4 \xEF\xBB\xBF"
         "9\n",
         "4", not_integer},
    };
    for (const vector_case& c : cases) expect_completed_run(scratch, c);
}

TEST(VectorMax, NoValuesFailOnRankZeroWithoutResultOrLog) {
    const std::string scratch = make_scratch_dir();
    struct failing_case {
        const char* name;
        int np;
        const char* data;  // nullptr: no data file at all
        std::string message;
        const char* fault = "";  // "directory": data.txt is one; "EIO": its 2nd read fails
    };
    // The first read ends in the blanks between 1 and 999; the run
    // printed 1 and exited 0.
    const std::string two_reads = "1" + std::string(5000, ' ') + " 999\n";
    const failing_case cases[] = {
        {"empty_file", 1, "", "No integers in data.txt\n"},
        // Two lines: why reading stopped, then that nothing was read.
        {"no_leading_integer", 3, "x 1 2\n",
         "Reading of data.txt stopped at an item that is not an integer; the values after it are "
         "ignored\nNo integers in data.txt\n"},
        // The program's own line, then the reason.
        {"missing_file", 4, nullptr,
         "Can't open data file\nvector_max: data.txt: No such file or directory\n"},
        {"byte_order_mark_after_blank", 1,
         " \xEF\xBB\xBF"
         "5 9\n",
         "No integers in data.txt\n"},
        {"part_of_a_byte_order_mark", 1,
         "\xEF\xBB"
         "5 9\n",
         "No integers in data.txt\n"},
        {"byte_order_mark_alone", 2, "\xEF\xBB\xBF", "No integers in data.txt\n"},
        {"read_error", 1, two_reads.c_str(),
         "Can't read data file\nvector_max: data.txt: Input/output error\n", "EIO"},
        {"directory", 2, nullptr, "Can't read data file\nvector_max: data.txt: Is a directory\n",
         "directory"},
    };
    for (const failing_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = scratch + "/" + c.name;
        std::filesystem::create_directory(dir);
        if (c.data != nullptr) write_file(dir + "/data.txt", c.data);
        if (std::string(c.fault) == "directory")
            std::filesystem::create_directory(dir + "/data.txt");
        std::vector<std::string> argv = mpi_command(c.np, VECTOR_MAX_PATH, {"data.txt"});
        if (std::string(c.fault) == "EIO")
            argv = mpi_command(c.np, "strace",
                               {"-f", "-qq", "-o", "/dev/null", "-P", dir + "/data.txt", "-e",
                                "inject=read:error=EIO:when=2", VECTOR_MAX_PATH, "data.txt"});
        run_result r = run_program(argv, dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(list_dir(dir), c.data || *c.fault ? std::vector<std::string>{"data.txt"}
                                                    : std::vector<std::string>{});
    }
}

TEST(VectorMax, WrongArgumentCountsPrintTheUsageLine) {
    const std::string dir = make_scratch_dir();
    const std::string usage = std::string("Usage: ") + VECTOR_MAX_PATH + " <filename> \nTry '" +
                              VECTOR_MAX_PATH + " --help' for more information.\n";
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{VECTOR_MAX_PATH}, {VECTOR_MAX_PATH, "a.txt", "b.txt"}}) {
        run_result r = run_program(argv, dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, usage);
    }
    run_result r = run_program(mpi_command(2, VECTOR_MAX_PATH), dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(usage), std::string::npos) << r.err;
    EXPECT_TRUE(list_dir(dir).empty());
}

// Without the launcher, as a newcomer tries them first.
TEST(MpiPrograms, HelpAndVersionWithoutTheLauncher) {
    expect_help_and_version(VECTOR_MAX_PATH, "vector_max", "<filename>");
    expect_help_and_version(GREETINGS_PATH, "greetings", "");
    expect_help_and_version(SUM_OF_RANKS_PATH, "sum_of_ranks", "");
}
