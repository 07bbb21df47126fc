// The shared helpers of common/: integer arguments that saturate, and the
// usage, help hint and out-of-memory messages with the statuses they end with.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>

#include "messages.h"
#include "process_end.h"
#include "saturated_int.h"

namespace {

TEST(SaturatedInt, ConvertsLikeStrtolAndSaturatesAtTheIntRange) {
    const struct {
        const char* text;
        int value;
    } cases[] = {
        {"42", 42},
        {"  -7", -7},
        {"+3", 3},
        {"12abc", 12},
        {"abc", 0},
        {"", 0},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        // Beyond the int range: the nearest end, never a wrapped value.
        {"2147483648", INT_MAX},
        {"4294967298", INT_MAX},
        {"-2147483649", INT_MIN},
        {"-4294967298", INT_MIN},
        {"99999999999999999999999", INT_MAX},
    };
    for (const auto& c : cases) EXPECT_EQ(to_int_saturated(c.text), c.value) << c.text;
}

// Death tests fork; each child prints and exits alone.
TEST(Messages, UsageLineAndHintKeepEachProgramsTextAndEndWithStatus1) {
    EXPECT_EXIT(exit_with_usage("usage:", "prog", "<a> <b>"), testing::ExitedWithCode(1),
                "^usage: prog <a> <b>\nTry 'prog --help' for more information[.]\n$");
    // The capital letter and the trailing blank stay as the program spells them.
    EXPECT_EXIT(exit_with_usage("Usage:", "./vm", "<filename> "), testing::ExitedWithCode(1),
                "^Usage: [.]/vm <filename> \nTry '[.]/vm --help' for more information[.]\n$");
}

TEST(ProcessEnd, OutOfMemoryAndPlainEndsGiveTheirStatus) {
    EXPECT_EXIT(exit_out_of_memory(), testing::ExitedWithCode(1),
                "^Memory could not be allocated, exiting\n$");
    EXPECT_EXIT(end_process(3), testing::ExitedWithCode(3), "^$");
    EXPECT_EXIT(
        {
            // A line still buffered is flushed under the calling thread's own
            // lock: the end must not wait on it.
            std::printf("pending");
            end_process(0);
        },
        testing::ExitedWithCode(0), "^$");
}

}  // namespace
