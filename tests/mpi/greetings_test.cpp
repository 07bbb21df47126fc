// greetings under the launcher: rank order on rank 0, one record per rank and run.
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

std::string greeting(int rank, int size) {
    return "Greetings from process " + std::to_string(rank) + " of " + std::to_string(size) + "!";
}

}  // namespace

TEST(Greetings, RanksPrintInRankOrderAndArgumentsChangeNothing) {
    const std::string scratch = make_scratch_dir();
    const std::string dir = scratch + "/four";
    std::filesystem::create_directory(dir);
    std::string expected_out;
    for (int rank = 0; rank < 4; ++rank) expected_out += greeting(rank, 4) + "\n";

    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"extra", "42"}}) {
        run_result r = run_program(mpi_command(4, GREETINGS_PATH, args), dir);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, expected_out);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"greetings_p0.log", "greetings_p1.log",
                                                       "greetings_p2.log", "greetings_p3.log"}));
    for (int rank = 0; rank < 4; ++rank) {
        const std::string record = greeting_record(rank, 4);
        EXPECT_EQ(read_file(dir + "/greetings_p" + std::to_string(rank) + ".log"), record + record);
    }

    // One rank prints only its own greeting and receives nothing.
    const std::string single = scratch + "/one";
    std::filesystem::create_directory(single);
    run_result r = run_program(mpi_command(1, GREETINGS_PATH, {"ignored"}), single);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, greeting(0, 1) + "\n");
    EXPECT_EQ(list_dir(single), std::vector<std::string>{"greetings_p0.log"});
    EXPECT_EQ(read_file(single + "/greetings_p0.log"), greeting_record(0, 1));
}

// A rank whose log is on a full disk: the run and its output stay the same,
// the lost records are reported, and the launcher ends with status 1.
TEST(Greetings, LostRecordOnAFullDiskEndsTheRunWithStatusOne) {
    const std::string dir = make_scratch_dir();
    ASSERT_EQ(symlink("/dev/full", (dir + "/greetings_p1.log").c_str()), 0);
    std::string expected_out;
    for (int rank = 0; rank < 3; ++rank) expected_out += greeting(rank, 3) + "\n";
    run_result r = run_program(mpi_command(3, GREETINGS_PATH), dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, expected_out);
    EXPECT_NE(r.err.find("Can't write log file greetings_p1.log: No space left on device\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(read_file(dir + "/greetings_p0.log"), greeting_record(0, 3));
    EXPECT_EQ(read_file(dir + "/greetings_p2.log"), greeting_record(2, 3));
}

// A FIFO in the place of rank 1's log: opening it would wait for a reader
// forever. The record is refused instead and the run ends.
TEST(Greetings, FifoLogIsRefusedWithoutWaiting) {
    const std::string dir = make_scratch_dir();
    ASSERT_EQ(mkfifo((dir + "/greetings_p1.log").c_str(), 0644), 0);
    std::string expected_out;
    for (int rank = 0; rank < 3; ++rank) expected_out += greeting(rank, 3) + "\n";
    run_result r = run_program(mpi_command(3, GREETINGS_PATH), dir, "", 60);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, expected_out);
    EXPECT_NE(r.err.find("Can't open log file greetings_p1.log: Is a FIFO or socket, not a regular "
                         "file; writing to it could block\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(read_file(dir + "/greetings_p2.log"), greeting_record(2, 3));
}

// A full file system: a record that no longer fits is taken out again, so
// every log keeps its size from before. The logs lie on a small tmpfs of the
// run's own mount namespace, full but for 6 bytes of rank 1's log.
TEST(Greetings, FullFileSystemLeavesNoPartOfARecord) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    const std::string dir = make_scratch_dir();
    const std::string script =
        "set -e; mkdir fs out; mount -t tmpfs -o size=8k tmpfs fs; "
        "head -c 4090 /dev/zero | tr '\\0' x > fs/greetings_p1.log; head -c 4096 /dev/zero > fs/filler; "
        "cd fs; set +e; \"$@\"; s=$?; cp greetings_p*.log ../out; exit $s";
    std::vector<std::string> cmd{"unshare", "--mount", "bash", "-c", script, "bash"};
    for (const std::string& word : mpi_command(3, GREETINGS_PATH)) cmd.push_back(word);
    run_result r = run_program(cmd, dir);
    if (!file_exists(dir + "/out/greetings_p1.log"))
        GTEST_SKIP() << "no tmpfs in a mount namespace of its own here: " << r.err;
    EXPECT_EQ(r.status, 1);
    for (int rank = 0; rank < 3; ++rank) {
        EXPECT_NE(r.err.find("Can't write log file greetings_p" + std::to_string(rank) +
                             ".log: No space left on device\n"),
                  std::string::npos)
            << r.err;
    }
    EXPECT_EQ(read_file(dir + "/out/greetings_p1.log"), std::string(4090, 'x'));
    EXPECT_EQ(read_file(dir + "/out/greetings_p0.log"), "");
    EXPECT_EQ(read_file(dir + "/out/greetings_p2.log"), "");
}
