// Helpers shared by every test suite: scratch directories, running a built
// program as a child process and capturing what it prints, small file utilities.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct run_result {
    int status;       // exit status, or 128 + signal number when killed by a signal
    std::string out;  // everything written to standard output
    std::string err;  // everything written to standard error
};

// Runs argv[0] with the arguments argv[1..] in directory cwd, feeding stdin_text
// on its standard input, and waits for it. A child still running after
// timeout_s seconds is killed (status 128 + SIGKILL) so a hang fails the test;
// with timed_out given, the caller is told instead and decides.
run_result run_program(const std::vector<std::string>& argv, const std::string& cwd,
                       const std::string& stdin_text = "", int timeout_s = 120,
                       bool* timed_out = nullptr);

// The PID that a rank held by the rank probe (tests/cluster/rank_probe.cpp)
// writes to file, once its whole line is there (the probe creates the file
// before it writes); -1 when that takes longer than seconds.
int wait_for_held_rank(const std::string& file, int seconds);

// A job of which one rank was held by the rank probe and killed.
struct held_rank_kill {
    run_result job;         // what the job's launcher returned
    bool held;              // the held rank showed up (and was killed)
    double seconds_to_end;  // from the SIGKILL to the end of the job
    std::chrono::steady_clock::time_point killed_at;
};

// Runs job in a thread of its own, waits up to wait_s seconds for the rank
// that the probe holds (PL_PROBE_HOLD_RANK) to write its PID to hold_file,
// gives the other ranks a second to wait for it in MPI, kills it with SIGKILL
// and waits for the job to end.
held_rank_kill kill_held_rank(const std::function<run_result()>& job, const std::string& hold_file,
                              int wait_s);

// The record greetings logs for rank of np: "Proc 1: Greetings from process 1 of 4!\n".
std::string greeting_record(int rank, int np);

// Kills with SIGKILL every process whose working folder is dir or below it
// (what a killed launcher left running there); returns how many.
int kill_processes_in(const std::string& dir);

// True when the tests run under an emulator (a cross build; CMake's
// CMAKE_CROSSCOMPILING_EMULATOR). run_program then starts the programs built
// for the emulated processor under the emulator too.
bool running_under_emulator();

// A fact that configure wrote about the MPI and its launcher into the build's
// mpi_launcher.env (cmake/mpi_family.cmake): MPI_FAMILY, MPI_LAUNCHER,
// MPI_PREFLAGS, MPI_ENV_FORM, ...; empty when the file does not name it.
std::string mpi_launcher_fact(const std::string& key);

// Command line that starts `program` with `args` on `np` ranks through the MPI
// launcher the build was configured with (preflags included).
std::vector<std::string> mpi_command(int np, const std::string& program,
                                     const std::vector<std::string>& args = {});

// The words of text, split at white space.
std::vector<std::string> split_words(const std::string& text);

// Environment variables every MPI process of the tests gets, under a launcher
// or alone: in an AddressSanitizer build, ASAN_OPTIONS without leak detection
// (the MPI libraries' own allocations look like leaks).
std::vector<std::pair<std::string, std::string>> mpi_rank_environment();

// "NAME=VALUE" words for env(1) before "strace ...": the same settings, as
// LeakSanitizer cannot work in a process that strace traces (ptrace).
std::vector<std::string> traced_environment();

// The launcher's flags that set environment variable `name` to `value` in
// every rank: -x NAME=VALUE (Open MPI), -genv NAME VALUE (Hydra), or none for
// a launcher that passes its own environment on.
std::vector<std::string> mpi_env_flags(const std::string& name, const std::string& value);

// The same for a launcher whose way is env_form (a facts file's MPI_ENV_FORM:
// "-x {name}={value}", "-genv {name} {value}" or empty).
std::vector<std::string> launcher_env_flags(const std::string& env_form, const std::string& name,
                                            const std::string& value);

// The rank a log file is named after: the number right before ".log"
// ("greetings_p12.log" -> 12), or -1 when there is none.
int rank_of_log(const std::string& name);

// A fresh, empty directory for the running test, below the build tree, named
// after the test. Any earlier content is removed.
std::string make_scratch_dir();

// make_scratch_dir, then makes it the working directory of this process (for
// in-process tests of code that writes into the working directory).
std::string enter_scratch_dir();

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
// Names of the entries of dir (without "." and ".."), sorted.
std::vector<std::string> list_dir(const std::string& dir);
// The log files (*.log) of dir by name, with their content.
std::map<std::string, std::string> logs_in(const std::string& dir);

// Checks that the built program answers --help (the usage line "usage: name
// arguments" first, then the log files and where the documents are) and
// --version (the project's version) on standard output with status 0, and
// that neither starts MPI or leaves a file behind; -h answers as --help does,
// and a launcher's rank other than 0 answers neither, with status 0.
void expect_help_and_version(const std::string& program, const std::string& name,
                             const std::string& arguments);
