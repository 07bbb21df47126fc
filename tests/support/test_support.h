// Helpers shared by every test suite: scratch directories, running a built
// program as a child process and capturing what it prints, small file utilities.
#pragma once

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

// Kills with SIGKILL every process whose working folder is dir or below it
// (what a killed launcher left running there); returns how many.
int kill_processes_in(const std::string& dir);

// True when the tests run under an emulator (a cross build; CMake's
// CMAKE_CROSSCOMPILING_EMULATOR). run_program then starts the programs built
// for the emulated processor under the emulator too.
bool running_under_emulator();

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

// The launcher's flags that set environment variable `name` to `value` in
// every rank: -x NAME=VALUE (Open MPI), -genv NAME VALUE (Hydra), or none for
// a launcher that passes its own environment on.
std::vector<std::string> mpi_env_flags(const std::string& name, const std::string& value);

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

// Checks that the built program answers --help (the usage line "usage: name
// arguments" first, then the log files and where the documents are) and
// --version (the project's version) on standard output with status 0, and
// that neither starts MPI or leaves a file behind.
void expect_help_and_version(const std::string& program, const std::string& name,
                             const std::string& arguments);
