// sum_of_ranks under the launcher: the sum on rank 0's console and in its log only.
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

TEST(SumOfRanks, RankZeroLogsAndPrintsTheSum) {
    const std::string scratch = make_scratch_dir();
    const struct {
        int np;
        const char* sum;
    } cases[] = {{1, "0"}, {4, "6"}, {5, "10"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.np);
        const std::string dir = scratch + "/np" + std::to_string(c.np);
        std::filesystem::create_directory(dir);
        run_result r = run_program(mpi_command(c.np, SUM_OF_RANKS_PATH, {"ignored"}), dir);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, std::string("Process 0: the rank sum is: ") + c.sum + " \n ");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(list_dir(dir), std::vector<std::string>{"sum_of_ranks0.log"});
        EXPECT_EQ(read_file(dir + "/sum_of_ranks0.log"),
                  std::string("The final result is ") + c.sum + "\n");
    }
    // A second run appends.
    run_result r = run_program(mpi_command(4, SUM_OF_RANKS_PATH), scratch + "/np1");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(scratch + "/np1/sum_of_ranks0.log"),
              "The final result is 0\nThe final result is 6\n");
}
