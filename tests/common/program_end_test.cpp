// The programs run whole: they run the thread team they were asked for or
// refuse, and a write to standard output or a log file that fails is an
// error with status 1, never a quiet success or a kill.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

const std::string examples = EXAMPLES_DIR;

// Runs command in dir with the extra environment (NAME=VALUE words) under
// strace, and counts the threads it created.
run_result run_counting_threads(const std::vector<std::string>& env,
                                const std::vector<std::string>& command, const std::string& dir,
                                int* threads_created) {
    std::vector<std::string> argv{"env"};
    argv.insert(argv.end(), env.begin(), env.end());
    for (const char* word : {"strace", "-f", "-qq", "-e", "trace=clone,clone3", "-o", "trace"})
        argv.push_back(word);
    argv.insert(argv.end(), command.begin(), command.end());
    run_result r = run_program(argv, dir);
    // One line per call; a call that another thread interrupted goes on in
    // a "<... clone3 resumed>" line.
    *threads_created = 0;
    for (const std::string& line : split_lines(read_file(dir + "/trace")))
        if (line.find("clone") != std::string::npos && line.find("resumed>") == std::string::npos)
            ++*threads_created;
    return r;
}

}  // namespace

// Each OpenMP setting that would shrink the team is overridden (the full team
// runs) or refused before any work (no thread, no log, no time).
TEST(OpenMpTeam, EverySettingGivesTheFullTeamOrARefusal) {
    if (run_program({"strace", "-V"}, ".").status != 0) GTEST_SKIP() << "no strace";
    const std::vector<std::string> bank2{BANK_PATH, "2", "alice.txt", "bob.txt"};
    const std::vector<std::string> bank4{BANK_PATH, "4", "alice.txt", "bob.txt", "carol.txt",
                                         "alice.txt"};
    const std::vector<std::string> timer4{PRODUCT_TIMER_PATH, "4", "20", "20"};
    struct team_case {
        std::string setting;
        std::vector<std::string> command;
        int threads;      // created besides the main thread; 0 with a refusal
        std::string err;  // empty for a completed run
    };
    const std::string refusal = "Cannot start 4 threads: the OpenMP thread limit is ";
    const team_case cases[] = {
        {"OMP_MAX_ACTIVE_LEVELS=0", bank2, 1, ""},
        {"OMP_DYNAMIC=true", bank2, 1, ""},
        {"OMP_THREAD_LIMIT=1", bank2, 0, "Cannot start 2 threads: the OpenMP thread limit is 1"},
        {"OMP_THREAD_LIMIT=3", bank4, 0, refusal + "3"},
        {"OMP_MAX_ACTIVE_LEVELS=0", timer4, 3, ""},
        {"OMP_DYNAMIC=true", timer4, 3, ""},
        {"OMP_THREAD_LIMIT=1", timer4, 0, refusal + "1"},
        {"OMP_THREAD_LIMIT=3", timer4, 0, refusal + "3"},
    };
    const std::string dir = make_scratch_dir();
    for (const team_case& c : cases) {
        SCOPED_TRACE(c.setting + " " + c.command[0]);
        for (const char* name : {"alice.txt", "bob.txt", "carol.txt"})
            write_file(dir + "/" + name, read_file(examples + "/bank/" + name));
        int threads = -1;
        run_result r = run_counting_threads({c.setting}, c.command, dir, &threads);
        EXPECT_EQ(threads, c.threads);
        const bool bank = c.command[0] == BANK_PATH;
        if (c.err.empty()) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "");
            EXPECT_NE(r.out.find(bank ? "Account 15 balance" : "Elapsed time"), std::string::npos);
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, c.err + ", exiting\n");
            EXPECT_EQ(r.out, "");
        }
        // Thread N of bank logs to pN.log: one log per thread of the team.
        EXPECT_EQ(logs_in(dir).size(), bank && c.err.empty() ? c.threads + 1u : 0u);
        for (const auto& log : logs_in(dir)) std::remove((dir + "/" + log.first).c_str());
    }
}

// A write to standard output that fails (a full device, a closed descriptor)
// gives "PROGRAM: write error: <reason>" and status 1, for a run, --help and
// --version alike.
TEST(StandardOutput, AFailedWriteIsAnErrorInEveryProgram) {
    struct output_case {
        std::string name;
        std::vector<std::string> command;
    };
    std::vector<output_case> programs = {
        {"bank", {BANK_PATH, "1", examples + "/bank/alice.txt"}},
        {"product_timer", {PRODUCT_TIMER_PATH, "1", "100", "100"}},
        {"bank", {BANK_PATH, "--help"}},
        {"product_timer", {PRODUCT_TIMER_PATH, "--version"}},
    };
#ifdef VECTOR_MAX_PATH
    // One process, without the launcher, writes to the standard output given.
    programs.push_back({"vector_max", {VECTOR_MAX_PATH, examples + "/mpi/vector.txt"}});
    programs.push_back({"greetings", {GREETINGS_PATH, "--help"}});
    programs.push_back({"sum_of_ranks", {SUM_OF_RANKS_PATH, "--version"}});
#endif
    const std::pair<std::string, std::string> redirections[] = {
        {">/dev/full", "No space left on device"}, {">&-", "Bad file descriptor"}};
    const std::string dir = make_scratch_dir();
    for (const output_case& p : programs) {
        for (const auto& [redirection, reason] : redirections) {
            SCOPED_TRACE(p.command[1] + " " + redirection);
            std::vector<std::string> argv{"bash", "-c", "exec \"$0\" \"$@\" " + redirection};
            argv.insert(argv.end(), p.command.begin(), p.command.end());
            run_result r = run_program(argv, dir);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, p.name + ": write error: " + reason + "\n");
        }
    }
}

// Under a file-size limit a log record that would pass it is refused (EFBIG)
// and cut back, with the usual message and status 1, instead of SIGXFSZ
// ending the process in the middle of a record.
TEST(FileSizeLimit, ALogRecordBeyondItIsAnErrorNotAKill) {
    const std::string limited = "ulimit -f 1 && exec \"$0\" \"$@\"";
    std::vector<std::pair<std::string, std::vector<std::string>>> programs = {
        {"p0.log", {"bash", "-c", limited, BANK_PATH, "1", "alice.txt"}}};
#ifdef GREETINGS_PATH
    // The limit for the rank alone: the launcher's own files are larger.
    programs.push_back({"greetings_p0.log", mpi_command(2, "bash", {"-c", limited, GREETINGS_PATH})});
#endif
    const std::string dir = make_scratch_dir();
    write_file(dir + "/alice.txt", read_file(examples + "/bank/alice.txt"));
    for (const auto& [log, argv] : programs) {
        SCOPED_TRACE(log);
        // 1000 of the 1024 bytes that ulimit -f 1 allows, in whole lines.
        write_file(dir + "/" + log, std::string(1000, '\n'));
        run_result r = run_program(argv, dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(log + ": File too large\n"), std::string::npos) << r.err;
        for (const auto& [name, content] : logs_in(dir)) {
            EXPECT_LE(content.size(), 1024u) << name;
            EXPECT_TRUE(content.empty() || content.back() == '\n') << name;
        }
    }
}
