// The rank log module, through a driver that calls every operation on each rank.
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

std::string driver_records(int rank, const std::string& message) {
    const std::string proc = "Proc " + std::to_string(rank) + ": ";
    return proc + "send a message\n" + proc + "received a message\n" + proc + "called Bcast\n" +
           proc + "called Reduce\n" + proc + "called Allreduce\n" + proc + "called Scatter \n" +
           proc + "called Gather\n" + proc + "called Allgather\n" + proc + message + "\n" +
           "The final result is 42\n"
           "The final result is -5000000000\n"
           "values: 4 -2 9 \n"
           "none: \n"
           "written directly\n";
}

}  // namespace

TEST(RankLog, EveryRecordGoesToTheRanksOwnFileAndRunsAppend) {
    const std::string dir = make_scratch_dir();
    run_result r = run_program(mpi_command(3, LOG_DRIVER_PATH), dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "done\n");
    EXPECT_EQ(r.err, "");
    r = run_program(mpi_command(3, LOG_DRIVER_PATH, {"second run"}), dir);
    EXPECT_EQ(r.status, 0) << r.err;

    EXPECT_EQ(list_dir(dir),
              (std::vector<std::string>{"driver_p0.log", "driver_p1.log", "driver_p2.log"}));
    for (int rank = 0; rank < 3; ++rank)
        EXPECT_EQ(read_file(dir + "/driver_p" + std::to_string(rank) + ".log"),
                  driver_records(rank, "") + driver_records(rank, "second run"))
            << "rank " << rank;
}

TEST(RankLog, UnopenableFileIsReportedAndTheProgramGoesOn) {
    const std::string dir = make_scratch_dir();
    // A directory in the place of rank 1's file: no record can be opened there.
    std::filesystem::create_directory(dir + "/driver_p1.log");
    run_result r = run_program(mpi_command(2, LOG_DRIVER_PATH, {"hello"}), dir);
    EXPECT_EQ(r.status, 1);  // only after the whole run
    EXPECT_EQ(r.out, "done\n");
    std::string expected_err;
    for (int i = 0; i < 14; ++i)
        expected_err += "Can't open log file driver_p1.log: Is a directory\n";
    // The launcher's own lines about the exit status follow the reports.
    EXPECT_EQ(r.err.substr(0, expected_err.size()), expected_err);
    EXPECT_EQ(r.err.find("Can't", expected_err.size()), std::string::npos);
    EXPECT_EQ(read_file(dir + "/driver_p0.log"), driver_records(0, "hello"));
    EXPECT_TRUE(list_dir(dir + "/driver_p1.log").empty());
}
