#include "cluster_support.h"

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

namespace fs = std::filesystem;

namespace {

using clock_type = std::chrono::steady_clock;

const std::string cluster_dir = CLUSTER_DIR;

// Word number `word` of each line of a file that cluster.sh wrote, but for
// the lines where it is in skip.
std::vector<std::string> column_of(const std::string& path, std::size_t word,
                                   const std::set<std::string>& skip) {
    std::vector<std::string> words;
    std::istringstream lines(file_exists(path) ? read_file(path) : "");
    for (std::string line; std::getline(lines, line);) {
        const std::vector<std::string> fields = split_words(line);
        if (fields.size() > word && !skip.count(fields[word])) words.push_back(fields[word]);
    }
    return words;
}

// Every host of the cluster, from its /etc/hosts ("address name" lines).
std::vector<std::string> all_hosts() {
    return column_of(cluster_dir + "/etc/hosts", 1, {"localhost"});
}

// The host that is no compute host: where mpirun, srun and sbatch run.
std::string login_host() {
    const std::vector<std::string> compute = compute_hosts();
    for (const std::string& host : all_hosts())
        if (std::find(compute.begin(), compute.end(), host) == compute.end()) return host;
    return "";
}

bool cluster_is_up() {
    return file_exists(cluster_dir + "/hostfile") && !login_host().empty() &&
           file_exists(cluster_dir + "/run/" + login_host() + ".keeper");
}

// cluster.sh with the arguments given, on the fixture's cluster and with the
// build's launcher.
std::vector<std::string> cluster_sh(const std::vector<std::string>& args) {
    return joined({"/usr/bin/env", "PL_CLUSTER_DIR=" + cluster_dir,
                   "PL_MPI_LAUNCHER_ENV=" MPI_LAUNCHER_ENV, CLUSTER_SH},
                  args);
}

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Processes of a job still alive in the cluster: the programs, their
// launchers and daemons' job processes, in the cluster's network namespaces.
std::vector<int> job_processes() {
    std::set<ino_t> cluster_namespaces;
    struct stat st;
    for (const std::string& ns : all_hosts())
        if (stat(("/run/netns/" + ns).c_str(), &st) == 0) cluster_namespaces.insert(st.st_ino);
    const std::set<std::string> job_names{
        "greetings", "sum_of_ranks", "vector_max",    "orted",         "mpirun",         "mpiexec",
        "srun",      "slurmstepd",   "mpiexec.mpich", "mpiexec.hydra", "hydra_pmi_proxy"};
    std::vector<int> pids;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        if (stat(("/proc/" + pid + "/ns/net").c_str(), &st) != 0 ||
            !cluster_namespaces.count(st.st_ino))
            continue;
        std::string comm = read_file("/proc/" + pid + "/comm");
        if (!comm.empty() && comm.back() == '\n') comm.pop_back();
        if (job_names.count(comm)) pids.push_back(std::stoi(pid));
    }
    return pids;
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

}  // namespace

void cluster_fixture::SetUp() {
    if (!cluster_is_up())
        GTEST_SKIP() << "cluster not up (scripts/cluster.sh up needs root and network namespaces)";
}

const std::vector<program>& cluster_programs() {
    static const std::vector<program> programs{
        {"greetings", {}}, {"sum_of_ranks", {}}, {"vector_max", {"vector.txt"}}};
    return programs;
}

std::string programs_dir() { return MPI_PROGRAMS_DIR; }

std::vector<std::string> program_command(const program& p) {
    std::vector<std::string> cmd{programs_dir() + "/" + p.name};
    cmd.insert(cmd.end(), p.args.begin(), p.args.end());
    return cmd;
}

std::vector<std::string> joined(std::vector<std::string> head,
                                const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

std::vector<std::string> compute_hosts() { return column_of(cluster_dir + "/hostfile", 0, {}); }

std::vector<std::string> on_host(const std::string& host, const std::vector<std::string>& cmd) {
    return cluster_sh(joined({"run", host}, cmd));
}

std::vector<std::string> on_login(const std::vector<std::string>& cmd) {
    return on_host(login_host(), cmd);
}

// An MPICH build runs under MPICH's launcher (Hydra) and under srun with
// Slurm's PMI-2 plugin: Debian's MPICH speaks PMI, not PMIx. (An Open MPI
// launcher or srun --mpi=pmix would start it as one-process worlds, which the
// programs refuse.)
bool mpich_build() { return mpi_launcher_fact("MPI_FAMILY") == "MPICH"; }

std::string srun_mpi() { return mpich_build() ? "pmi2" : "pmix"; }

std::vector<std::string> cluster_mpirun(const std::vector<std::string>& args) {
    return cluster_sh(joined({"mpirun"}, args));
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
    return on_login(joined({"env", "SLURM_PMIX_FENCE=ring", "srun", "--mpi=" + srun_mpi(),
                            "--kill-on-bad-exit=1", "--quiet"},
                           args));
}

std::vector<std::string> mpirun_probe_flags(const std::string& probe_dir) {
    return {"-x", std::string("LD_PRELOAD=") + RANK_PROBE_PATH, "-x",
            "PL_PROBE_HOSTS=" + probe_dir};
}

std::string srun_probe_export(const std::string& probe_dir) {
    return std::string("--export=ALL,LD_PRELOAD=") + RANK_PROBE_PATH +
           ",PL_PROBE_HOSTS=" + probe_dir;
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

std::string late_finalize_export(const std::string& probe_dir) {
    return std::string("LD_PRELOAD=") + RANK_PROBE_PATH + ",PL_PROBE_FINALIZE=" + probe_dir +
           ",PL_PROBE_LATE_RANK=0";
}

void expect_finalize_waited_for_every_rank(const std::string& probe_dir, const std::string& name,
                                           int np) {
    long long last_entered = 0;
    long long first_left = 0;
    for (int rank = 0; rank < np; ++rank) {
        std::istringstream times(
            read_file(probe_dir + "/" + name + ".finalize" + std::to_string(rank)));
        long long entered = 0;
        long long left = 0;
        ASSERT_TRUE(times >> entered >> left) << name << ", rank " << rank << " recorded no times";
        last_entered = std::max(last_entered, entered);
        first_left = rank == 0 ? left : std::min(first_left, left);
    }
    EXPECT_TRUE(last_entered <= first_left)
        << name << ": a rank left MPI_Finalize " << (last_entered - first_left) / 1000000
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

one_host_run run_on_one_host(const std::string& scratch, const program& p, int np) {
    const std::string dir =
        with_input(new_folder(scratch + "/one-host-" + p.name + "-" + std::to_string(np)));
    const std::vector<std::string> cmd = program_command(p);
    run_result r = run_program(mpi_command(np, cmd[0], {cmd.begin() + 1, cmd.end()}), dir);
    EXPECT_EQ(r.status, 0) << r.err;
    return {r.out, logs_in(dir)};
}

std::string host_tmp(const std::string& host) { return cluster_dir + "/hosts/" + host + "/tmp"; }

std::string make_private_folders(const std::string& name) {
    const std::vector<std::string> hosts = compute_hosts();
    for (const std::string& host : hosts) new_folder(host_tmp(host) + "/" + name);
    with_input(host_tmp(hosts.front()) + "/" + name);
    return "/tmp/" + name;
}

// Polls the controller for the job's state.
run_result run_batch_job(const std::vector<std::string>& sbatch_args, const std::string& dir) {
    run_result submitted =
        run_program(on_login(joined({"sbatch", "--parsable"}, sbatch_args)), dir);
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

kill_outcome kill_rank_of_job(const std::function<run_result()>& job,
                              const std::string& hold_file) {
    const held_rank_kill held = kill_held_rank(job, hold_file, 30);
    kill_outcome result{held.job, held.seconds_to_end, -1};
    if (!held.held) {
        ADD_FAILURE() << "the held rank did not show up";
        return result;
    }
    while (!job_processes().empty() && seconds_since(held.killed_at) < result.seconds_to_end + 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    result.seconds_to_clean = seconds_since(held.killed_at);
    EXPECT_TRUE(job_processes().empty()) << "processes of the job left 10 s after its end";
    return result;
}

void report_kill(const std::string& what, const kill_outcome& k, const std::string& output) {
    std::cout << "[   KILL   ] " << what << ": ended " << k.seconds_to_end
              << " s after SIGKILL, status " << k.job.status << ", no process left "
              << k.seconds_to_clean << " s after SIGKILL\n"
              << ending_lines(output);
    EXPECT_GE(k.seconds_to_end, 0);
    EXPECT_LT(k.seconds_to_end, 10) << what;
    EXPECT_NE(k.job.status, 0) << what;
}

void expect_whole_greeting_records(const std::string& dir, int np, int held) {
    for (int rank = 0; rank < np; ++rank) {
        const std::string file = dir + "/greetings_p" + std::to_string(rank) + ".log";
        if (rank == held) {
            EXPECT_FALSE(file_exists(file));
            continue;
        }
        EXPECT_EQ(read_file(file), greeting_record(rank, np));
    }
}
