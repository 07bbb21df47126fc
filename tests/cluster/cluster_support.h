// What the tests on the emulated cluster of scripts/cluster.sh share: its
// hosts (read from the files cluster.sh writes), commands on its hosts, the
// build's launcher and srun over them, the rank probe's records, and the
// fixture that skips every test when the cluster is not up.
#pragma once

#include "test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

// Skips the test when the cluster is not up (cluster.sh up needs root and
// network namespaces). The suites are names for it: ClusterMpirun, ...
struct cluster_fixture : ::testing::Test {
    void SetUp() override;
};

struct program {
    std::string name;
    std::vector<std::string> args;  // vector_max reads vector.txt in its working folder
};

const std::vector<program>& cluster_programs();
std::vector<std::string> program_command(const program& p);
std::string programs_dir();
std::vector<std::string> joined(std::vector<std::string> head,
                                const std::vector<std::string>& tail);

// The compute hosts, from the hostfile cluster.sh wrote, in its order.
std::vector<std::string> compute_hosts();

// Commands on a host, and on the login host.
std::vector<std::string> on_host(const std::string& host, const std::vector<std::string>& cmd);
std::vector<std::string> on_login(const std::vector<std::string>& cmd);

bool mpich_build();  // and then srun's --mpi plugin is pmi2, not pmix
std::string srun_mpi();

// The build's launcher over the compute hosts, given Open MPI's options.
std::vector<std::string> cluster_mpirun(const std::vector<std::string>& args);

std::string without_setpgid_warning(const std::string& err);
std::vector<std::string> srun(const std::vector<std::string>& args);

// The ranks record their host names into probe_dir (mpirun's and srun's form).
std::vector<std::string> mpirun_probe_flags(const std::string& probe_dir);
std::string srun_probe_export(const std::string& probe_dir);
std::vector<std::string> rank_hosts(const std::string& probe_dir, int np);

// The ranks come to MPI_Finalize with rank 0 one second late and record when
// they entered and left it; no rank left before the last one had entered.
std::string late_finalize_export(const std::string& probe_dir);
void expect_finalize_waited_for_every_rank(const std::string& probe_dir, const std::string& name,
                                           int np);

std::string new_folder(const std::string& path);
std::string with_input(const std::string& dir);

// What a program prints and logs on this one host with np ranks.
struct one_host_run {
    std::string out;
    std::map<std::string, std::string> logs;
};

one_host_run run_on_one_host(const std::string& scratch, const program& p, int np);

// Where a host's own /tmp is seen from outside the cluster.
std::string host_tmp(const std::string& host);

// Folders /tmp/<name> of every compute host; vector.txt only on the first.
std::string make_private_folders(const std::string& name);

// sbatch from dir; status is the job's exit code (128 + signal when killed).
run_result run_batch_job(const std::vector<std::string>& sbatch_args, const std::string& dir);

// How long a launcher may take to end after one of its ranks was killed,
// before the test kills it by PID and fails: every launcher measured here
// ends within about 3 s, and a hang (Open MPI 5's launcher once hung for good
// on one host) must not hold the suite.
constexpr int launcher_bound_s = 30;

struct kill_outcome {
    run_result job;
    double seconds_to_end;    // from the SIGKILL to the end of the launcher or job
    double seconds_to_clean;  // from the SIGKILL until no process of the job was left
};

// kill_held_rank, also timing until no process of the job is left.
kill_outcome kill_rank_of_job(const std::function<run_result()>& job, const std::string& hold_file);

void report_kill(const std::string& what, const kill_outcome& k, const std::string& output);

// The greetings logs of a run with np ranks of which `held` died right after
// MPI_Init: every other rank's file holds its one whole record.
void expect_whole_greeting_records(const std::string& dir, int np, int held);
