// The programs run whole: the thread team asked for or a refusal, and a
// failed write to standard output or past a file-size limit gives status 1.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

const std::string examples = EXAMPLES_DIR;

// command run by the words of argv ("env", "bash", ...) before it.
run_result run_with(std::vector<std::string> argv, const std::vector<std::string>& command,
                    const std::string& dir) {
    argv.insert(argv.end(), command.begin(), command.end());
    return run_program(argv, dir);
}

}  // namespace

// A setting that would shrink the team is overridden (the full team runs:
// threads counted by strace, one bank log per thread) or refused before any
// thread starts.
TEST(OpenMpTeam, EverySettingGivesTheFullTeamOrARefusal) {
    const std::vector<std::string> bank2{BANK_PATH, "2", "alice.txt", "bob.txt"},
        bank4{BANK_PATH, "4", "alice.txt", "bob.txt", "carol.txt", "bob.txt"},
        timer4{PRODUCT_TIMER_PATH, "4", "20", "20"};
    const struct {
        const char* setting;
        std::vector<std::string> command;
        int threads_created;  // besides the main thread
        std::string err;
    } cases[] = {
        {"OMP_MAX_ACTIVE_LEVELS=0", bank2, 1, ""},
        {"OMP_DYNAMIC=true", bank2, 1, ""},
        {"OMP_THREAD_LIMIT=1", bank2, 0, "Cannot start 2 threads: the OpenMP thread limit is 1"},
        {"OMP_THREAD_LIMIT=3", bank4, 0, "Cannot start 4 threads: the OpenMP thread limit is 3"},
        {"OMP_MAX_ACTIVE_LEVELS=0", timer4, 3, ""},
        {"OMP_DYNAMIC=true", timer4, 3, ""},
        {"OMP_THREAD_LIMIT=1", timer4, 0, "Cannot start 4 threads: the OpenMP thread limit is 1"},
        {"OMP_THREAD_LIMIT=3", timer4, 0, "Cannot start 4 threads: the OpenMP thread limit is 3"},
    };
    if (run_program({"strace", "-V"}, ".").status != 0) GTEST_SKIP() << "no strace";
    const std::string dir = make_scratch_dir();
    for (const char* name : {"alice.txt", "bob.txt", "carol.txt"})
        write_file(dir + "/" + name, read_file(examples + "/bank/" + name));
    // The threads a traced command created; one interrupted by another goes on
    // in a "resumed>" line.
    const auto threads_created = [&dir](const std::string& setting,
                                        const std::vector<std::string>& command) {
        std::vector<std::string> traced = traced_environment();
        traced.insert(traced.begin(), {"env", setting});
        traced.insert(traced.end(),
                      {"strace", "-f", "-qq", "-e", "trace=clone,clone3", "-o", "trace"});
        traced.insert(traced.end(), command.begin(), command.end());
        run_result r = run_program(traced, dir);
        std::istringstream trace(read_file(dir + "/trace"));
        int threads = 0;
        for (std::string line; std::getline(trace, line);)
            threads += line.find("clone") != std::string::npos &&
                       line.find("resumed>") == std::string::npos;
        return std::pair{r, threads};
    };
    // An emulator (qemu-user) starts threads of its own, which a program that
    // starts none shows.
    const int emulator_threads =
        threads_created("OMP_DYNAMIC=false", {BANK_PATH, "--version"}).second;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting + (" " + c.command[0]));
        const auto [r, created] = threads_created(c.setting, c.command);
        const int threads = created - emulator_threads;
        EXPECT_EQ(threads, c.threads_created);
        EXPECT_EQ(r.status, c.err.empty() ? 0 : 1);
        EXPECT_EQ(r.err, c.err.empty() ? "" : c.err + ", exiting\n");
        EXPECT_EQ(r.out.empty(), !c.err.empty());
        const bool bank = c.command[0] == BANK_PATH;
        EXPECT_EQ(logs_in(dir).size(), bank && c.err.empty() ? c.threads_created + 1u : 0u);
        for (const auto& log : logs_in(dir)) std::remove((dir + "/" + log.first).c_str());
    }
}

// A full device or a closed descriptor: "PROGRAM: write error: REASON" and
// status 1, after a run, --help and --version alike.
TEST(StandardOutput, AFailedWriteIsAnErrorInEveryProgram) {
    std::vector<std::pair<std::string, std::vector<std::string>>> programs = {
        {"bank", {BANK_PATH, "1", examples + "/bank/alice.txt"}},
        {"bank", {BANK_PATH, "--help"}},
        {"product_timer", {PRODUCT_TIMER_PATH, "1", "100", "100"}},
        {"product_timer", {PRODUCT_TIMER_PATH, "--version"}},
    };
#ifdef VECTOR_MAX_PATH
    // One process without the launcher writes to the standard output given.
    programs.push_back({"vector_max", {VECTOR_MAX_PATH, examples + "/mpi/vector.txt"}});
    programs.push_back({"greetings", {GREETINGS_PATH, "--help"}});
    programs.push_back({"sum_of_ranks", {SUM_OF_RANKS_PATH, "--version"}});
#endif
    const std::string dir = make_scratch_dir();
    for (const auto& [name, command] : programs) {
        for (const auto& [redirection, reason] :
             {std::pair{" >/dev/full", "No space left on device"},
              {" >&-", "Bad file descriptor"}}) {
            SCOPED_TRACE(command[1] + redirection);
            // The MPI runtime's own allocations are no leaks of the programs'.
            std::vector<std::string> shell{"bash", "-c",
                                           "exec \"$0\" \"$@\"" + std::string(redirection), "env"};
            for (const std::string& word : traced_environment()) shell.push_back(word);
            run_result r = run_with(shell, command, dir);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, name + ": write error: " + reason + "\n");
        }
    }
    // With standard output closed, no file the program opens may take its
    // descriptor: a log file there would receive the console lines.
    if (run_program({"strace", "-V"}, ".").status != 0) GTEST_SKIP() << "no strace";
    std::vector<std::string> traced{"bash", "-c", "exec \"$0\" \"$@\" >&-", "env"};
    for (const std::string& word : traced_environment()) traced.push_back(word);
    run_with(traced,
             {"strace", "-f", "-qq", "-e", "trace=openat", "-o", "trace", BANK_PATH, "1",
              examples + "/bank/alice.txt"},
             dir);
    std::istringstream trace(read_file(dir + "/trace"));
    int files = 0;
    for (std::string line; std::getline(trace, line);) {
        if (line.find("alice.txt\"") == std::string::npos &&
            line.find("p0.log\"") == std::string::npos)
            continue;
        ++files;
        EXPECT_NE(line.substr(line.size() - 4), " = 1") << line;
    }
    EXPECT_GT(files, 1);
}

// A log record past ulimit -f is refused (EFBIG) and cut back with the usual
// message and status 1; SIGXFSZ no longer ends the process mid-record.
TEST(FileSizeLimit, ALogRecordBeyondItIsAnErrorNotAKill) {
    const std::string limit = "ulimit -f 1 && ";  // 1024 bytes
    std::vector<std::pair<std::string, std::vector<std::string>>> programs = {
        {"p0.log", {"bash", "-c", limit + "exec \"$0\" \"$@\"", BANK_PATH, "1", "alice.txt"}}};
#ifdef GREETINGS_PATH
    // The limit for the rank alone: the launcher's own files are larger.
    programs.push_back({"greetings_p0.log",
                        mpi_command(2, "bash", {"-c", limit + "exec \"$0\"", GREETINGS_PATH})});
#endif
    const std::string dir = make_scratch_dir();
    write_file(dir + "/alice.txt", read_file(examples + "/bank/alice.txt"));
    for (const auto& [log, argv] : programs) {
        SCOPED_TRACE(log);
        write_file(dir + "/" + log, std::string(1000, '\n'));
        run_result r = run_program(argv, dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(log + ": File too large\n"), std::string::npos) << r.err;
        for (const auto& [name, content] : logs_in(dir))
            EXPECT_TRUE(content.size() <= 1024 && content.back() == '\n') << name;
    }
}
