// bank when things go wrong part way: a file whose reading stops after good
// records, console colours turned off, and log files that cannot take a
// record (a full file system, a FIFO).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "bank_log.h"
#include "bank_run.h"
#include "test_support.h"

namespace {

// A bad record on line 4, after two good ones and a blank line, with a record
// after it that is never read.
struct stop_cause {
    const char* name;
    std::string bad;   // from line 3 on
    std::string stop;  // the reader's red line
};

const std::vector<stop_cause> causes = {
    {"unknown keyword", "withdraw 1 5\ndeposit 1 99\n",
     COLOR_RED "Error: uknown transaction type: withdraw\n" COLOR_RESET},
    {"incomplete record", "balance\ndeposit 1 99\n",
     COLOR_RED "Error: incomplete transaction: balance\n" COLOR_RESET},
    {"record cut off by the end", "transfer 1\n2",
     COLOR_RED "Error: incomplete transaction: transfer\n" COLOR_RESET},
    {"token too long", "deposit 1 " + std::string(70, '9') + "\ndeposit 1 99\n",
     COLOR_RED "Error: token longer than 63 characters\n" COLOR_RESET},
};

const std::string GOOD = "deposit 1 10\n\ndeposit 2 5\n";  // a blank line counts

std::string cut_short_line(const std::string& file) {
    return "bank: " + file +
           ", line 4: reading stopped at this record; the rest of the file was "
           "not applied\n";
}

}  // namespace

// The records before the stop are applied and printed as ever; one line on
// stderr names the file and the line; the status is 1 after the final report.
TEST(BankBatchCutShort, EveryCauseWithOneThreadAndSeveral) {
    const std::string dir = make_scratch_dir();
    write_file(dir + "/good", GOOD);
    write_file(dir + "/cut", GOOD);
    const run_result whole = bank({"1", "cut"}, dir);
    ASSERT_EQ(whole.status, 0);
    const std::string user_lines = whole.out.substr(whole.out.find("User"));
    for (const stop_cause& c : causes) {
        SCOPED_TRACE(c.name);
        write_file(dir + "/cut", GOOD + c.bad);
        run_result r = bank({"1", "cut"}, dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, cut_short_line("cut"));
        // stdout: that of the good records alone, with the red line where reading stopped.
        const std::string loaded = whole.out.substr(0, whole.out.find("User"));
        EXPECT_EQ(r.out, loaded + c.stop + user_lines);

        // The second of three users; the others read their files to the end.
        r = bank({"3", "good", "cut", "good"}, dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, cut_short_line("cut"));
        EXPECT_NE(r.out.find(c.stop), std::string::npos);
        EXPECT_NE(r.out.find(report({0, 30, 15, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})),
                  std::string::npos);
    }
}

// NO_COLOR set and not empty leaves out the three colour sequences and
// nothing else; set but empty, it changes nothing.
TEST(BankColours, NoColorLeavesOutOnlyTheSequences) {
    const std::string dir = make_scratch_dir();
    write_file(dir + "/t",
               "deposit 3 100\nwithdrawal 3 500\ntransfer 3 4 500\ndeposit 16 1\n"
               "withdrawal -1 1\ntransfer 3 16 1\ntransfer 3 4 -1\nbalance 99\n"
               "deposit 1 -5\nwithdrawal 1 nan\nDeposit 1 1\n");
    const run_result coloured = bank({"1", "t"}, dir);
    std::string plain = coloured.out;
    for (const std::string seq : {COLOR_RED, COLOR_GREEN, COLOR_RESET})
        for (size_t at; (at = plain.find(seq)) != std::string::npos;) plain.erase(at, seq.size());
    ASSERT_NE(plain, coloured.out);

    run_result r = run_program({"/usr/bin/env", "NO_COLOR=1", BANK_PATH, "1", "t"}, dir);
    EXPECT_EQ(r.out, plain);
    EXPECT_EQ(r.out.find('\033'), std::string::npos);
    EXPECT_EQ(r.status, coloured.status);
    r = run_program({"/usr/bin/env", "NO_COLOR=", BANK_PATH, "1", "t"}, dir);
    EXPECT_EQ(r.out, coloured.out);
}

// A FIFO in the place of a log file would hang the run in its critical
// section (no process reads it): each record is refused instead.
TEST(BankLogFaults, FifoLogIsRefusedWithoutWaiting) {
    const std::string dir = make_scratch_dir();
    write_file(dir + "/a", "deposit 1 10\nbalance 1\n");
    const run_result normal = bank({"1", "a"}, dir);
    ASSERT_EQ(unlink((dir + "/p0.log").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "/p0.log").c_str(), 0644), 0);
    const run_result r = run_program({BANK_PATH, "1", "a"}, dir, "", 30);
    EXPECT_EQ(r.status, 1);
    const std::string refused =
        "p0.log: Is a FIFO or socket, not a regular file; writing to it could block\n";
    EXPECT_EQ(r.err, refused + refused);
    EXPECT_EQ(r.out, normal.out);
}

// A full file system: the record that no longer fits is taken out again, so
// the log keeps its size and ends with a whole line. Needs a file system of
// its own (a small tmpfs, mounted in a mount namespace of the run's own).
TEST(BankLogFaults, FullFileSystemLeavesNoPartOfARecord) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    const std::string dir = make_scratch_dir();
    write_file(dir + "/a", "deposit 1 10\nbalance 1\n");
    // Two pages: the log fills the first but for 6 bytes, a filler the second.
    const std::string script =
        "set -e; mkdir fs; mount -t tmpfs -o size=8k tmpfs fs; head -c 4090 /dev/zero | tr '\\0' x "
        "> fs/p0.log; head -c 4096 /dev/zero > fs/filler; cd fs; set +e; \"$@\" 1 ../a; s=$?; cp p0.log ../p0.after; exit $s";
    // The program comes as "$@", so that under an emulator (a cross build)
    // run_program puts the emulator's words before it.
    const run_result r =
        run_program({"unshare", "--mount", "bash", "-c", script, "bash", BANK_PATH}, dir);
    if (!file_exists(dir + "/p0.after"))
        GTEST_SKIP() << "no tmpfs in a mount namespace of its own here: " << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "p0.log: No space left on device\np0.log: No space left on device\n");
    EXPECT_EQ(read_file(dir + "/p0.after"), std::string(4090, 'x'));
    EXPECT_NE(r.out.find(report({0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})),
              std::string::npos);
}

#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_THREAD__) || __has_feature(thread_sanitizer)
constexpr bool thread_sanitized = true;
#else
constexpr bool thread_sanitized = false;
#endif

// Two runs in one folder append to one log (two jobs started in a shared
// folder). The first is held by strace once it has opened p0.log and read its
// size; the second appends its record; then the first one's write fails, as a
// whole (ENOSPC) or after some of its bytes (a file-size limit). The first run
// takes only its own bytes back: the other's record stays.
TEST(BankLogFaults, FailedRecordTakesBackOnlyItsOwnBytes) {
    if (system("strace -V > /dev/null 2>&1") != 0) GTEST_SKIP() << "no strace here";
    struct failure {
        const char* file_size_limit;  // ulimit -f in KiB; stdout is /dev/null, beyond it
        const char* write_fault;
        const char* reason;
    };
    const failure failures[] = {
        {"unlimited", "-e inject=write:error=ENOSPC:when=1", "No space left on device"},
        {"1", "", "File too large"},  // 7 of the record's 37 bytes fit below 1024
    };
    std::string environment;
    for (const std::string& word : traced_environment()) environment += " '" + word + "'";
    std::string before;  // 980 bytes
    for (int line = 0; line < 20; ++line) before += std::string(48, 'x') + "\n";
    for (const failure& f : failures) {
        SCOPED_TRACE(f.reason);
        if (thread_sanitized && f.file_size_limit[0] != 'u') {
            // ThreadSanitizer's runtime itself dies of SIGBUS under ulimit -f.
            std::cout << "[ SKIPPED  ] " << f.reason << ": ThreadSanitizer build\n";
            continue;
        }
        const std::string dir = make_scratch_dir();
        write_file(dir + "/p0.log", before);
        write_file(dir + "/a", "deposit 1 10\n");
        write_file(dir + "/b", "deposit 2 5\n");
        const std::string script =
            std::string("trap '' XFSZ; (ulimit -f ") + f.file_size_limit + "; exec env " +
            environment +
            " strace -f -qqq -o /dev/null -P p0.log -e inject=%fstat:signal=SIGSTOP:when=1 " +
            f.write_fault +
            " \"$@\" 1 a > /dev/null 2> a.err) & tracer=$!; held=;"
            "for i in $(seq 600); do for c in $(cat /proc/$tracer/task/*/children); do "
            "for fd in /proc/$c/fd/*; do [ $fd -ef p0.log ] && held=$c; done; done; "
            "[ -n \"$held\" ] && break; sleep 0.05; done;"
            "\"$@\" 1 b > /dev/null; other=$?; kill -CONT $held; wait $tracer; echo $? $other";
        const run_result r = run_program({"bash", "-c", script, "bash", BANK_PATH}, dir, "", 120);
        EXPECT_EQ(r.out, "1 0\n");
        EXPECT_EQ(read_file(dir + "/p0.log"), before + "deposit > acc: 2 > amount:      5.00\n");
        const std::string err = read_file(dir + "/a.err");
        EXPECT_EQ(err.substr(err.find("p0.log: ")), std::string("p0.log: ") + f.reason + "\n");
    }
}
