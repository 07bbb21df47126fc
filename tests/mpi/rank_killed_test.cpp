// A rank killed while the others wait for it in MPI: the launcher ends the
// job on one host as it does across hosts (tests/cluster), within seconds and
// with a non-zero status, and the other ranks' logs hold whole records.
#include "test_support.h"

#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <utility>
#include <vector>

#ifndef __has_feature
#define __has_feature(x) 0
#endif

namespace {

// Seconds the launcher gets to end the job after the kill before the test
// kills it and whatever it left in the scratch folder, by PID.
constexpr int launcher_bound_s = 30;

// The launcher's version line, to tell Open MPI 5's launcher from others.
std::string launcher_version(const std::string& launcher) {
    return run_program({launcher, "--version"}, "/", "", 30).out;
}

}  // namespace

TEST(RankKilled, LauncherEndsTheJobOnOneHost) {
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer) || \
    defined(__SANITIZE_THREAD__) || __has_feature(thread_sanitizer)
    GTEST_SKIP() << "the probe preloaded into the ranks would load the sanitizer's runtime after "
                    "the program's start";
#endif
    const std::string dir = make_scratch_dir();
    const std::string hold_file = dir + "/held.pid";
    // Rank 3 holds after MPI_Init and writes its PID; the others go on and
    // wait for it in MPI.
    std::vector<std::string> cmd = mpi_command(4, GREETINGS_PATH);
    std::vector<std::string> env;
    for (const auto& [name, value] :
         {std::pair<std::string, std::string>{"LD_PRELOAD", RANK_PROBE_PATH},
          {"PL_PROBE_HOLD_RANK", "3"},
          {"PL_PROBE_HOLD_FILE", hold_file}})
        for (const std::string& word : mpi_env_flags(name, value)) env.push_back(word);
    cmd.insert(cmd.end() - 1, env.begin(), env.end());

    bool hung = false;
    const held_rank_kill k = kill_held_rank(
        [&] { return run_program(cmd, dir, "", launcher_bound_s, &hung); }, hold_file, 20);
    const run_result& job = k.job;
    if (!k.held) {
        kill_processes_in(dir);
        FAIL() << "the held rank did not show up: " << job.err;
    }
    const double seconds = k.seconds_to_end;
    if (hung) {
        const int left = kill_processes_in(dir);
        const std::string version = launcher_version(cmd[0]);
        const std::string what = cmd[0] + " still ran " + std::to_string(launcher_bound_s) +
                                 " s after a rank was killed; it and " + std::to_string(left) +
                                 " processes it left were killed by PID";
        // Open MPI's launcher sometimes never ends after a rank died on its
        // own host, though no rank is left: 2 runs of 15 hung so with 5.0.7
        // on Debian 13 (and 1 more ended in a crash of the launcher, status
        // 139), and 1 run with 4.1.4 on Debian 12, in a loaded run of the
        // suite, where 10 of 10 quiet runs of 4.1.0 on Debian 11 ended. The
        // fault is the launcher's own; Hydra never hung.
        if (mpi_launcher_fact("MPI_LAUNCHER_FAMILY") == "Open MPI")
            GTEST_SKIP() << what << " (a fault of Open MPI's launcher: "
                         << version.substr(0, version.find('\n')) << ")";
        FAIL() << what;
    }
    std::cout << "[   KILL   ] " << cmd[0] << ", rank 3 of 4 on this host: status " << job.status
              << " " << seconds << " s after SIGKILL\n";
    EXPECT_NE(job.status, 0);
    EXPECT_LT(seconds, 10);
    for (int rank = 0; rank < 3; ++rank) {
        const std::string file = dir + "/greetings_p" + std::to_string(rank) + ".log";
        if (!file_exists(file)) continue;  // the launcher may have ended the rank before it logged
        EXPECT_EQ(read_file(file), greeting_record(rank, 4));
    }
    EXPECT_FALSE(file_exists(dir + "/greetings_p3.log"));
}
