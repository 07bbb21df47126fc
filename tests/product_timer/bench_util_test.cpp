// The benchmark's shared helpers: the median the tools and scripts use, the
// processor name read from a cpuinfo file, and the number rule of the
// program.
#include "bench_util.h"
#include "saturated_int.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

TEST(BenchUtil, MedianIsTheMiddleOrTheMeanOfTheTwoMiddleValues) {
    EXPECT_EQ(median({3.0}), 3.0);
    EXPECT_EQ(median({5.0, 1.0, 3.0}), 3.0);
    EXPECT_EQ(median({4.0, 1.0, 3.0, 2.0}), 2.5);
    EXPECT_EQ(median({2.0, 2.0, 9.0, 1.0}), 2.0);
    EXPECT_EQ(median({}), -1.0);
}

TEST(BenchUtil, NamesTheProcessorFromItsCpuinfo) {
    const std::string dir = make_scratch_dir();
    const std::string x86 = dir + "/x86", arm = dir + "/arm", none = dir + "/none";
    write_file(x86,
               "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Some CPU @ 2.00GHz\n"
               "processor\t: 1\nmodel name\t: Other CPU\n");
    write_file(arm,
               "processor\t: 0\nBogoMIPS\t: 50.00\nCPU implementer\t: 0x41\n"
               "CPU architecture: 8\nCPU part\t: 0xd0c\n\nprocessor\t: 1\n"
               "CPU implementer\t: 0x42\nCPU part\t: 0xd40\n");
    write_file(none, "processor\t: 0\n");
    EXPECT_EQ(processor_name(x86.c_str()), "Some CPU @ 2.00GHz");
    EXPECT_EQ(processor_name(arm.c_str()), "ARM implementer 0x41, part 0xd0c");
    EXPECT_EQ(processor_name(none.c_str()), "unknown processor");
    EXPECT_EQ(processor_name((dir + "/missing").c_str()), "unknown processor");
}

TEST(BenchUtil, ReadsNumbersAsTheProgramDoes) {
    const char* end = nullptr;
    EXPECT_EQ(to_int_saturated("192x1024", &end), 192);
    EXPECT_STREQ(end, "x1024");
    EXPECT_EQ(to_int_saturated(" +8abc"), 8);
    EXPECT_EQ(to_int_saturated("4294967298"), INT_MAX);
    EXPECT_EQ(to_int_saturated("-4294967295"), INT_MIN);
    EXPECT_EQ(to_int_saturated("x", &end), 0);
    EXPECT_STREQ(end, "x");
}

// The quoted word reaches a program as it was, blanks, quotes and all.
TEST(BenchUtil, ShellQuotedIsOneWordOfTheShell) {
    for (const std::string text : {"plain", "a b", "it's", "$HOME `x` \\ \"''", ""}) {
        std::FILE* out = popen(("printf %s " + shell_quoted(text)).c_str(), "r");
        ASSERT_NE(out, nullptr);
        char got[256] = "";
        const size_t n = std::fread(got, 1, sizeof got - 1, out);
        EXPECT_EQ(pclose(out), 0) << text;
        EXPECT_EQ(std::string(got, n), text);
    }
}
