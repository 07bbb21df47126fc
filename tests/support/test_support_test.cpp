// The harness itself: output capture, exit status, standard input, scratch dirs.
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(TestSupport, RunProgramCapturesStreamsStatusAndStdin) {
    std::string dir = make_scratch_dir();
    run_result r = run_program({"/bin/sh", "-c", "cat; echo oops >&2; pwd; exit 3"}, dir, "in\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "in\n" + dir + "\n");
    EXPECT_EQ(r.err, "oops\n");

    std::string big(1 << 20, 'x');  // larger than a pipe buffer in both directions
    r = run_program({"/bin/cat"}, dir, big);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, big);
}

TEST(TestSupport, ScratchDirIsFreshAndNamedAfterTheTest) {
    std::string dir = make_scratch_dir();
    write_file(dir + "/a.log", "x");
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"a.log"});
    EXPECT_EQ(make_scratch_dir(), dir);
    EXPECT_TRUE(list_dir(dir).empty());
    EXPECT_NE(dir.find("TestSupport.ScratchDirIsFreshAndNamedAfterTheTest"), std::string::npos);
}

// Log names end in the rank, of any number of digits, right before ".log".
TEST(TestSupport, RankOfLogReadsEveryDigitOfTheRank) {
    EXPECT_EQ(rank_of_log("greetings_p3.log"), 3);
    EXPECT_EQ(rank_of_log("greetings_p12.log"), 12);
    EXPECT_EQ(rank_of_log("sum_of_ranks10.log"), 10);
    EXPECT_EQ(rank_of_log("vector_max_p0.log"), 0);
    EXPECT_EQ(rank_of_log("job.out"), -1);
    EXPECT_EQ(rank_of_log("p.log"), -1);
}

// A variable for the ranks in each launcher's form, as configure writes it.
TEST(TestSupport, LauncherEnvFlagsFillInTheForm) {
    EXPECT_EQ(launcher_env_flags("-x {name}={value}", "A", "b=c"),
              (std::vector<std::string>{"-x", "A=b=c"}));
    EXPECT_EQ(launcher_env_flags("-genv {name} {value}", "A", "b c"),
              (std::vector<std::string>{"-genv", "A", "b c"}));
    EXPECT_TRUE(launcher_env_flags("", "A", "b").empty());
}
