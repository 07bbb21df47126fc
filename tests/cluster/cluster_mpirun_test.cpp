// The MPI programs under the build's launcher across the cluster's hosts
// print and log exactly what they do on one host, also with a folder of its
// own per host; lost log records end the job with status 1.
#include "cluster_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

using ClusterMpirun = cluster_fixture;

// 6 ranks over 3 hosts with 2 slots each, filled host by host and round robin.
TEST_F(ClusterMpirun, ProgramsOverThreeHostsPrintAndLogAsOnOneHost) {
    const std::string scratch = make_scratch_dir();
    const std::vector<std::string> hosts = compute_hosts();
    for (const program& p : cluster_programs()) {
        const one_host_run expected = run_on_one_host(scratch, p, 6);
        for (const std::string mapping : {"slot", "node"}) {
            SCOPED_TRACE(p.name + " --map-by " + mapping);
            const std::string dir = with_input(new_folder(scratch + "/" + p.name + "-" + mapping));
            const std::string probe = new_folder(scratch + "/hosts-" + p.name + "-" + mapping);
            const run_result r = run_program(
                cluster_mpirun(
                    joined(joined(mpirun_probe_flags(probe), {"--map-by", mapping, "-np", "6"}),
                           program_command(p))),
                dir, "", 60);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, expected.out);
            EXPECT_EQ(without_setpgid_warning(r.err), "");
            EXPECT_EQ(logs_in(dir), expected.logs);
            std::vector<std::string> expected_hosts;
            for (int rank = 0; rank < 6; ++rank)
                expected_hosts.push_back(hosts[mapping == "slot" ? rank / 2 : rank % hosts.size()]);
            EXPECT_EQ(rank_hosts(probe, 6), expected_hosts);
        }
    }
}

// No shared file system: each rank logs into its own host's folder, and only
// rank 0's host has the input file.
TEST_F(ClusterMpirun, PrivateFolderPerHostHoldsTheLogsOfItsRanks) {
    const std::string scratch = make_scratch_dir();
    const std::string name = "pl-private-folders";
    const std::vector<std::string> hosts = compute_hosts();
    for (const program& p : cluster_programs()) {
        SCOPED_TRACE(p.name);
        const one_host_run expected = run_on_one_host(scratch, p, 6);
        const std::string wdir = make_private_folders(name);
        const run_result r =
            run_program(cluster_mpirun(joined({"--wdir", wdir, "-np", "6"}, program_command(p))),
                        scratch, "", 60);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, expected.out);
        EXPECT_EQ(without_setpgid_warning(r.err), "");
        std::map<std::string, std::string> logs;
        for (int i = 0; i < 3; ++i) {
            const std::string folder = host_tmp(hosts[i]) + "/" + name;
            for (const auto& [file, content] : logs_in(folder)) {
                // rank r ran on host r / 2 and logs into <program>...<r>.log
                EXPECT_EQ(rank_of_log(file) / 2, i) << file << " on " << hosts[i];
                logs[file] = content;
            }
        }
        EXPECT_EQ(logs, expected.logs);
    }
    for (const std::string& host : hosts) fs::remove_all(host_tmp(host) + "/" + name);
}

// A host whose working folder is read-only: its ranks report every lost
// record, the run and its output stay the same, and the job ends with
// status 1.
TEST_F(ClusterMpirun, LostRecordsOnAReadOnlyHostEndTheJobWithStatusOne) {
    const std::string scratch = make_scratch_dir();
    const program greetings{"greetings", {}};
    const one_host_run expected = run_on_one_host(scratch, greetings, 6);
    const std::vector<std::string> hosts = compute_hosts();
    const std::string wdir = make_private_folders("pl-read-only");
    ASSERT_EQ(
        run_program(on_host(hosts[1], {"mount", "--bind", "-o", "ro", wdir, wdir}), scratch).status,
        0);
    const run_result r = run_program(
        cluster_mpirun(joined({"--wdir", wdir, "-np", "6"}, program_command(greetings))), scratch,
        "", 60);
    run_program(on_host(hosts[1], {"umount", wdir}), scratch);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, expected.out);
    for (int rank : {2, 3})
        EXPECT_NE(r.err.find("Can't open log file greetings_p" + std::to_string(rank) +
                             ".log: Read-only file system\n"),
                  std::string::npos)
            << r.err;
    EXPECT_TRUE(list_dir(host_tmp(hosts[1]) + "/pl-read-only").empty());
    EXPECT_EQ(logs_in(host_tmp(hosts[2]) + "/pl-read-only")["greetings_p4.log"],
              expected.logs.at("greetings_p4.log"));
    for (const std::string& host : hosts) fs::remove_all(host_tmp(host) + "/pl-read-only");
}
