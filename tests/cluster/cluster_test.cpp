// The MPI programs on the emulated cluster of scripts/cluster.sh (brought up by
// the CTest fixture): across hosts under mpirun and Slurm they print and log
// exactly what they do on one host; a rank killed on a remote host ends the
// job; lost log records end a rank with status 1.
#include "test_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

const std::string cluster_dir = CLUSTER_DIR;
const std::string programs_dir = MPI_PROGRAMS_DIR;
const std::vector<std::string> compute_hosts{"pl-node1", "pl-node2", "pl-node3"};

bool cluster_is_up() {
    return file_exists(cluster_dir + "/run/pl-login.keeper") && file_exists(cluster_dir + "/hostfile");
}

#define REQUIRE_CLUSTER()                                                                         \
    if (!cluster_is_up())                                                                         \
    GTEST_SKIP() << "cluster not up (scripts/cluster.sh up needs root and network namespaces)"

struct program {
    std::string name;
    std::vector<std::string> args;  // vector_max reads vector.txt in its working folder
};

const std::vector<program> programs{{"greetings", {}}, {"sum_of_ranks", {}}, {"vector_max", {"vector.txt"}}};

std::vector<std::string> program_command(const program& p) {
    std::vector<std::string> cmd{programs_dir + "/" + p.name};
    cmd.insert(cmd.end(), p.args.begin(), p.args.end());
    return cmd;
}

std::vector<std::string> joined(std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// cluster.sh with the arguments given, on the fixture's cluster.
std::vector<std::string> cluster_sh(const std::vector<std::string>& args) {
    return joined({"/usr/bin/env", "PL_CLUSTER_DIR=" + cluster_dir, CLUSTER_SH}, args);
}

// Commands on a host, and mpirun from the login host over the compute hosts.
std::vector<std::string> on_host(const std::string& host, const std::vector<std::string>& cmd) {
    return cluster_sh(joined({"run", host}, cmd));
}

std::vector<std::string> on_login(const std::vector<std::string>& cmd) {
    return on_host("pl-login", cmd);
}

// An MPICH build runs under MPICH's launcher (Hydra) and under srun with
// Slurm's PMI-2 plugin: Debian's MPICH speaks PMI, not PMIx. (An Open MPI
// launcher or srun --mpi=pmix would start it as one-process worlds, which the
// programs refuse.)
const bool mpich_build = std::string(CLUSTER_MPI_FAMILY) == "MPICH";
const std::string srun_mpi = mpich_build ? "pmi2" : "pmix";

// The launcher of the build's MPI over the compute hosts. The tests give
// Open MPI's options; under Hydra they become its own: -x NAME=VALUE ->
// -genv NAME VALUE, --wdir -> -wdir, --map-by slot (Hydra fills each host's
// slots in turn by default) -> nothing, --map-by node -> -ppn 1.
std::vector<std::string> cluster_mpirun(const std::vector<std::string>& args) {
    if (!mpich_build) return cluster_sh(joined({"mpirun"}, args));
    std::vector<std::string> hydra{"mpiexec"};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-x" && i + 1 < args.size()) {
            const std::string& assignment = args[++i];
            const std::size_t eq = assignment.find('=');
            hydra.insert(hydra.end(), {"-genv", assignment.substr(0, eq), assignment.substr(eq + 1)});
        } else if (a == "--wdir") {
            hydra.push_back("-wdir");
        } else if (a == "--map-by" && i + 1 < args.size()) {
            if (args[++i] == "node") hydra.insert(hydra.end(), {"-ppn", "1"});
        } else {
            hydra.push_back(a);
        }
    }
    return cluster_sh(hydra);
}

// Standard error of an mpirun job less Open MPI's "plm:rsh: Warning:
// setpgid(...) failed in parent" line (Open MPI 5's launcher spells it
// "plm:ssh:"): its launcher moves each started launch agent into a process
// group of its own, which fails when the agent (here nsenter) has already
// started its command; harmless, seen once in a loaded run with Open MPI 4.1
// and in most runs with Open MPI 5.
std::string without_setpgid_warning(const std::string& err) {
    std::string kept;
    std::size_t start = 0;
    while (start < err.size()) {
        std::size_t end = err.find('\n', start);
        end = end == std::string::npos ? err.size() : end + 1;
        const std::string line = err.substr(start, end - start);
        if (line.find("plm:rsh: Warning: setpgid(") == std::string::npos &&
            line.find("plm:ssh: Warning: setpgid(") == std::string::npos)
            kept += line;
        start = end;
    }
    return kept;
}

// srun as the job script runs it: the ring fence (Slurm 22.05's default tree
// fence holds the ranks of each node only, when the step has fewer nodes than
// TreeWidth), --quiet (a job that waits for the nodes of the one before it says
// so on stderr otherwise).
std::vector<std::string> srun(const std::vector<std::string>& args) {
    return on_login(
        joined({"env", "SLURM_PMIX_FENCE=ring", "srun", "--mpi=" + srun_mpi,
                "--kill-on-bad-exit=1", "--quiet"},
               args));
}

// The ranks record their host names into probe_dir.
std::vector<std::string> mpirun_probe_flags(const std::string& probe_dir) {
    return {"-x", std::string("LD_PRELOAD=") + RANK_PROBE_PATH, "-x", "PL_PROBE_HOSTS=" + probe_dir};
}

std::string srun_probe_export(const std::string& probe_dir) {
    return std::string("--export=ALL,LD_PRELOAD=") + RANK_PROBE_PATH + ",PL_PROBE_HOSTS=" + probe_dir;
}

std::vector<std::string> rank_hosts(const std::string& probe_dir, int np) {
    std::vector<std::string> hosts;
    for (int rank = 0; rank < np; ++rank) {
        std::string host = read_file(probe_dir + "/rank" + std::to_string(rank));
        if (!host.empty() && host.back() == '\n') host.pop_back();
        hosts.push_back(host);
    }
    return hosts;
}

// The ranks come to MPI_Finalize with rank 0 one second late, and record when
// they entered and left it into probe_dir.
std::string late_finalize_export(const std::string& probe_dir) {
    return std::string("LD_PRELOAD=") + RANK_PROBE_PATH + ",PL_PROBE_FINALIZE=" + probe_dir +
           ",PL_PROBE_LATE_RANK=0";
}

// No rank of the program left MPI_Finalize before the last one had entered it:
// its fence waited for every rank on every node.
void expect_finalize_waited_for_every_rank(const std::string& probe_dir, const std::string& name, int np) {
    long long last_entered = 0;
    long long first_left = 0;
    for (int rank = 0; rank < np; ++rank) {
        std::istringstream times(read_file(probe_dir + "/" + name + ".finalize" + std::to_string(rank)));
        long long entered = 0;
        long long left = 0;
        ASSERT_TRUE(times >> entered >> left) << name << ", rank " << rank << " recorded no times";
        last_entered = std::max(last_entered, entered);
        first_left = rank == 0 ? left : std::min(first_left, left);
    }
    EXPECT_TRUE(last_entered <= first_left) << name << ": a rank left MPI_Finalize "
                                            << (last_entered - first_left) / 1000000
                                            << " ms before the last one entered";
}

std::string new_folder(const std::string& path) {
    fs::remove_all(path);
    fs::create_directories(path);
    return path;
}

std::string with_input(const std::string& dir) {
    fs::copy_file(VECTOR_FILE, dir + "/vector.txt");
    return dir;
}

// What a program prints and logs on this one host with np ranks.
struct one_host_run {
    std::string out;
    std::map<std::string, std::string> logs;
};

one_host_run run_on_one_host(const std::string& scratch, const program& p, int np) {
    const std::string dir = with_input(new_folder(scratch + "/one-host-" + p.name + "-" + std::to_string(np)));
    const std::vector<std::string> cmd = program_command(p);
    run_result r = run_program(mpi_command(np, cmd[0], {cmd.begin() + 1, cmd.end()}), dir);
    EXPECT_EQ(r.status, 0) << r.err;
    return {r.out, logs_in(dir)};
}

// Where a host's own /tmp is seen from outside the cluster.
std::string host_tmp(const std::string& host) {
    return cluster_dir + "/hosts/" + host + "/tmp";
}

// Folders of every compute host's own /tmp/<name>; vector.txt only on pl-node1.
std::string make_private_folders(const std::string& name) {
    for (const std::string& host : compute_hosts) new_folder(host_tmp(host) + "/" + name);
    with_input(host_tmp("pl-node1") + "/" + name);
    return "/tmp/" + name;
}

// Processes of a job still alive in the cluster: the programs, their
// launchers and daemons' job processes, in the cluster's network namespaces.
std::vector<int> job_processes() {
    std::set<ino_t> cluster_namespaces;
    struct stat st;
    for (const char* ns : {"pl-login", "pl-node1", "pl-node2", "pl-node3"})
        if (stat((std::string("/run/netns/") + ns).c_str(), &st) == 0) cluster_namespaces.insert(st.st_ino);
    const std::set<std::string> job_names{"greetings",  "sum_of_ranks",  "vector_max",     "orted",
                                          "mpirun",     "srun",          "slurmstepd",     "mpiexec.mpich",
                                          "mpiexec.hydra", "hydra_pmi_proxy"};
    std::vector<int> pids;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        if (stat(("/proc/" + pid + "/ns/net").c_str(), &st) != 0 || !cluster_namespaces.count(st.st_ino))
            continue;
        std::string comm = read_file("/proc/" + pid + "/comm");
        if (!comm.empty() && comm.back() == '\n') comm.pop_back();
        if (job_names.count(comm)) pids.push_back(std::stoi(pid));
    }
    return pids;
}

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Submits a batch job from dir and waits for its end by polling the
// controller; status is the job's exit code (128 + signal when killed).
run_result run_batch_job(const std::vector<std::string>& sbatch_args, const std::string& dir) {
    run_result submitted = run_program(on_login(joined({"sbatch", "--parsable"}, sbatch_args)), dir);
    if (submitted.status != 0) return submitted;
    const std::string id = submitted.out.substr(0, submitted.out.find_first_of(";\n"));
    const auto start = clock_type::now();
    while (seconds_since(start) < 60) {
        const run_result shown = run_program(on_login({"scontrol", "-o", "show", "job", id}), dir);
        const std::string& line = shown.out;
        const std::size_t state = line.find("JobState=");
        if (state != std::string::npos && line.compare(state, 16, "JobState=PENDING") != 0 &&
            line.compare(state, 16, "JobState=RUNNING") != 0 &&
            line.compare(state, 19, "JobState=COMPLETING") != 0) {
            const std::size_t code = line.find("ExitCode=");
            const int exit_code = std::stoi(line.substr(code + 9));
            const int signal = std::stoi(line.substr(line.find(':', code) + 1));
            return {signal != 0 ? 128 + signal : exit_code, line, ""};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ADD_FAILURE() << "job " << id << " did not end within 60 s";
    run_program(on_login({"scancel", id}), dir);
    return {-1, "", ""};
}

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

// Starts a job whose rank PL_PROBE_HOLD_RANK holds right after MPI_Init and
// writes its PID to hold_file; kills that rank once the others had time to
// wait for it in MPI, and times the end of the job and of its processes.
kill_outcome kill_held_rank(const std::function<run_result()>& job, const std::string& hold_file) {
    kill_outcome result{{-1, "", ""}, -1, -1};
    clock_type::time_point ended;
    std::thread launcher([&] {
        result.job = job();
        ended = clock_type::now();
    });
    const int pid = wait_for_held_rank(hold_file, 30);
    if (pid < 0) {
        ADD_FAILURE() << "the held rank did not show up";
        launcher.join();
        return result;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(kill(pid, SIGKILL), 0);
    const auto killed = clock_type::now();
    launcher.join();
    result.seconds_to_end = std::chrono::duration<double>(ended - killed).count();
    while (!job_processes().empty() && seconds_since(killed) < result.seconds_to_end + 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    result.seconds_to_clean = seconds_since(killed);
    EXPECT_TRUE(job_processes().empty()) << "processes of the job left 10 s after its end";
    return result;
}

// The lines of text that tell how a job ended.
std::string ending_lines(const std::string& text) {
    std::istringstream lines(text);
    std::string found;
    for (std::string line; std::getline(lines, line);)
        for (const char* word : {"signal", "Killed", "CANCELLED", "JobState="})
            if (line.find(word) != std::string::npos) {
                found += "             " + line.substr(0, 160) + "\n";
                break;
            }
    return found;
}

void report_kill(const std::string& what, const kill_outcome& k, const std::string& output) {
    std::cout << "[   KILL   ] " << what << ": ended " << k.seconds_to_end << " s after SIGKILL, status "
              << k.job.status << ", no process left " << k.seconds_to_clean << " s after SIGKILL\n"
              << ending_lines(output);
    EXPECT_GE(k.seconds_to_end, 0);
    EXPECT_LT(k.seconds_to_end, 10) << what;
    EXPECT_NE(k.job.status, 0) << what;
}

// The greetings logs of a run with np ranks of which `held` died right after
// MPI_Init: every other rank's file holds its one whole record.
void expect_whole_greeting_records(const std::string& dir, int np, int held) {
    for (int rank = 0; rank < np; ++rank) {
        const std::string file = dir + "/greetings_p" + std::to_string(rank) + ".log";
        if (rank == held) {
            EXPECT_FALSE(file_exists(file));
            continue;
        }
        EXPECT_EQ(read_file(file), "Proc " + std::to_string(rank) + ": Greetings from process " +
                                       std::to_string(rank) + " of " + std::to_string(np) + "!\n");
    }
}

}  // namespace

// 6 ranks over 3 hosts with 2 slots each, filled host by host and round robin.
TEST(ClusterMpirun, ProgramsOverThreeHostsPrintAndLogAsOnOneHost) {
    REQUIRE_CLUSTER();
    const std::string scratch = make_scratch_dir();
    for (const program& p : programs) {
        const one_host_run expected = run_on_one_host(scratch, p, 6);
        for (const std::string mapping : {"slot", "node"}) {
            SCOPED_TRACE(p.name + " --map-by " + mapping);
            const std::string dir = with_input(new_folder(scratch + "/" + p.name + "-" + mapping));
            const std::string probe = new_folder(scratch + "/hosts-" + p.name + "-" + mapping);
            const run_result r = run_program(
                cluster_mpirun(joined(joined(mpirun_probe_flags(probe), {"--map-by", mapping, "-np", "6"}),
                                      program_command(p))),
                dir, "", 60);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, expected.out);
            EXPECT_EQ(without_setpgid_warning(r.err), "");
            EXPECT_EQ(logs_in(dir), expected.logs);
            std::vector<std::string> hosts;
            for (int rank = 0; rank < 6; ++rank)
                hosts.push_back(compute_hosts[mapping == "slot" ? rank / 2 : rank % 3]);
            EXPECT_EQ(rank_hosts(probe, 6), hosts);
        }
    }
}

// No shared file system: each rank logs into its own host's folder, and only
// rank 0's host has the input file.
TEST(ClusterMpirun, PrivateFolderPerHostHoldsTheLogsOfItsRanks) {
    REQUIRE_CLUSTER();
    const std::string scratch = make_scratch_dir();
    const std::string name = "pl-private-folders";
    for (const program& p : programs) {
        SCOPED_TRACE(p.name);
        const one_host_run expected = run_on_one_host(scratch, p, 6);
        const std::string wdir = make_private_folders(name);
        const run_result r = run_program(
            cluster_mpirun(joined({"--wdir", wdir, "-np", "6"}, program_command(p))), scratch, "", 60);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, expected.out);
        EXPECT_EQ(without_setpgid_warning(r.err), "");
        std::map<std::string, std::string> logs;
        for (int i = 0; i < 3; ++i) {
            const std::string folder = host_tmp(compute_hosts[i]) + "/" + name;
            for (const auto& [file, content] : logs_in(folder)) {
                // rank r ran on host r / 2 and logs into <program>...<r>.log
                const int rank = file[file.size() - 5] - '0';
                EXPECT_EQ(rank / 2, i) << file << " on " << compute_hosts[i];
                logs[file] = content;
            }
        }
        EXPECT_EQ(logs, expected.logs);
    }
    for (const std::string& host : compute_hosts) fs::remove_all(host_tmp(host) + "/" + name);
}

// A host whose working folder is read-only: its ranks report every lost
// record, the run and its output stay the same, and the job ends with
// status 1.
TEST(ClusterMpirun, LostRecordsOnAReadOnlyHostEndTheJobWithStatusOne) {
    REQUIRE_CLUSTER();
    const std::string scratch = make_scratch_dir();
    const program greetings{"greetings", {}};
    const one_host_run expected = run_on_one_host(scratch, greetings, 6);
    const std::string wdir = make_private_folders("pl-read-only");
    ASSERT_EQ(run_program(on_host("pl-node2", {"mount", "--bind", "-o", "ro", wdir, wdir}), scratch)
                  .status,
              0);
    const run_result r =
        run_program(cluster_mpirun(joined({"--wdir", wdir, "-np", "6"}, program_command(greetings))), scratch,
                    "", 60);
    run_program(on_host("pl-node2", {"umount", wdir}), scratch);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, expected.out);
    for (int rank : {2, 3})
        EXPECT_NE(r.err.find("Can't open log file greetings_p" + std::to_string(rank) +
                             ".log: Read-only file system\n"),
                  std::string::npos)
            << r.err;
    EXPECT_TRUE(list_dir(host_tmp("pl-node2") + "/pl-read-only").empty());
    EXPECT_EQ(logs_in(host_tmp("pl-node3") + "/pl-read-only")["greetings_p4.log"],
              expected.logs.at("greetings_p4.log"));
    for (const std::string& host : compute_hosts) fs::remove_all(host_tmp(host) + "/pl-read-only");
}

// srun -N 2 -n 4 --mpi=pmix (Open MPI) or --mpi=pmi2 (MPICH): the ranks get
// their world from Slurm.
TEST(ClusterSlurm, SrunOverTwoNodesPrintsAndLogsAsOnOneHost) {
    REQUIRE_CLUSTER();
    const std::string scratch = make_scratch_dir();
    for (const program& p : programs) {
        SCOPED_TRACE(p.name);
        const one_host_run expected = run_on_one_host(scratch, p, 4);
        const std::string dir = with_input(new_folder(scratch + "/" + p.name));
        const std::string probe = new_folder(scratch + "/hosts-" + p.name);
        const run_result r =
            run_program(srun(joined({srun_probe_export(probe), "-N", "2", "-n", "4"}, program_command(p))), dir,
                        "", 60);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, expected.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(logs_in(dir), expected.logs);
        const std::vector<std::string> hosts = rank_hosts(probe, 4);
        EXPECT_EQ(hosts[0], hosts[1]);
        EXPECT_EQ(hosts[2], hosts[3]);
        EXPECT_NE(hosts[0], hosts[2]);
        for (const std::string& host : hosts)
            EXPECT_EQ(std::count(compute_hosts.begin(), compute_hosts.end(), host), 1) << host;
    }
}

// The fences that MPI_Init and MPI_Finalize make through Slurm's PMIx server
// (PMI-2 server for an MPICH build) hold every rank until all have come, on
// every node of the step.
TEST(ClusterSlurm, FencesWaitForTheRanksOfEveryNode) {
    REQUIRE_CLUSTER();
    const std::string dir = make_scratch_dir();
    for (const int nodes : {2, 3}) {
        SCOPED_TRACE(std::to_string(nodes) + " nodes");
        const std::string probe = new_folder(dir + "/probe" + std::to_string(nodes));
        const run_result r =
            run_program(srun({"--export=ALL," + late_finalize_export(probe), "-N", std::to_string(nodes), "-n",
                              std::to_string(2 * nodes), programs_dir + "/greetings"}),
                        dir, "", 60);
        EXPECT_EQ(r.status, 0) << r.err;
        expect_finalize_waited_for_every_rank(probe, "greetings", 2 * nodes);
    }
}

// The job script of examples/slurm as a user submits it, with the programs
// and the input named through its variables.
TEST(ClusterSlurm, ShippedJobScriptRunsTheThreeProgramsAsSteps) {
    REQUIRE_CLUSTER();
    const std::string scratch = make_scratch_dir();
    std::string expected_out;
    std::map<std::string, std::string> expected_logs;
    for (const program& p : programs) {
        const one_host_run one = run_on_one_host(scratch, p, 4);
        expected_out += one.out;
        expected_logs.insert(one.logs.begin(), one.logs.end());
    }
    const std::string dir = with_input(new_folder(scratch + "/job"));
    const std::string probe = new_folder(scratch + "/probe");
    const run_result r = run_batch_job({"--export=ALL,SRUN_MPI=" + srun_mpi + ",MPI_PROGRAMS_DIR=" + programs_dir +
                                            ",VECTOR_FILE=vector.txt," + late_finalize_export(probe),
                                        "--output=job.out", JOB_SCRIPT},
                                       dir);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(dir + "/job.out"), expected_out);
    EXPECT_EQ(logs_in(dir), expected_logs);
    for (const program& p : programs) expect_finalize_waited_for_every_rank(probe, p.name, 4);
}

// A rank on a remote host killed while the others wait for it in MPI.
TEST(ClusterKill, MpirunEndsTheJobWhenARemoteRankDies) {
    REQUIRE_CLUSTER();
    const std::string dir = make_scratch_dir();
    const std::string hold_file = dir + "/held.pid";
    const std::vector<std::string> cmd = cluster_mpirun(
        {"-x", std::string("LD_PRELOAD=") + RANK_PROBE_PATH, "-x", "PL_PROBE_HOLD_RANK=3", "-x",
         "PL_PROBE_HOLD_FILE=" + hold_file, "-np", "6", programs_dir + "/greetings"});
    const kill_outcome k = kill_held_rank([&] { return run_program(cmd, dir, "", launcher_bound_s); }, hold_file);
    report_kill(std::string(mpich_build ? "mpiexec.mpich" : "mpirun") + ", rank 3 on pl-node2", k, k.job.err);
    expect_whole_greeting_records(dir, 6, 3);
}

TEST(ClusterKill, SrunWithKillOnBadExitEndsTheStepWhenARankDies) {
    REQUIRE_CLUSTER();
    const std::string dir = make_scratch_dir();
    const std::string hold_file = dir + "/held.pid";
    const std::vector<std::string> cmd =
        srun({std::string("--export=ALL,LD_PRELOAD=") + RANK_PROBE_PATH +
                  ",PL_PROBE_HOLD_RANK=3,PL_PROBE_HOLD_FILE=" + hold_file,
              "-N", "3", "-n", "6", programs_dir + "/greetings"});
    const kill_outcome k = kill_held_rank([&] { return run_program(cmd, dir, "", launcher_bound_s); }, hold_file);
    report_kill("srun -N 3 -n 6, rank 3 on its second node", k, k.job.err);
    expect_whole_greeting_records(dir, 6, 3);
}

// The job script goes on with its next steps and the job fails.
TEST(ClusterKill, JobScriptEndsWhenARankOfAStepDies) {
    REQUIRE_CLUSTER();
    const std::string dir = with_input(make_scratch_dir());
    const std::string hold_file = dir + "/held.pid";
    const std::vector<std::string> args{"--export=ALL,SRUN_MPI=" + srun_mpi + ",MPI_PROGRAMS_DIR=" + programs_dir +
                                            ",VECTOR_FILE=vector.txt,LD_PRELOAD=" + RANK_PROBE_PATH +
                                            ",PL_PROBE_HOLD_RANK=3,PL_PROBE_HOLD_FILE=" + hold_file,
                                        "--output=job.out", JOB_SCRIPT};
    const kill_outcome k = kill_held_rank([&] { return run_batch_job(args, dir); }, hold_file);
    report_kill("sbatch job script, rank 3 of its first step", k,
                file_exists(dir + "/job.out") ? read_file(dir + "/job.out") + k.job.out : k.job.out);
    expect_whole_greeting_records(dir, 4, 3);
    // The later steps ran in full.
    EXPECT_EQ(read_file(dir + "/sum_of_ranks0.log"), "The final result is 6\n");
    EXPECT_EQ(read_file(dir + "/vector_max_p0.log"), "The final result is 71\n");
}
