// The bank log: every console line and log record byte for byte, the
// documented column layout, and the life of the thread log file.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "bank_log.h"
#include "test_support.h"

namespace {

struct outcome {
    void (*call)();
    std::string line;
};

// Every outcome at ordinary widths, then numbers too wide for their fields.
const std::vector<outcome> outcomes = {
    {[] { log_dp(100, 3, 0); },
     "User  0: Deposit    100.00 into acc  3            -- Balance      0.00\n"},
    {[] { log_dp_no_acc(1, 16); },
     "\033[22;31mUser  0: Deposit      1.00 into acc 16                                 -- Error: account does not exist \033[0m\n"},
    {[] { log_dp_bad_amount(-5, 1); },
     "\033[22;31mUser  0: Deposit     -5.00 into acc  1                                         -- Error: invalid amount \033[0m\n"},
    {[] { log_wd(30, 3, 100); },
     "User  0, Withdraw    30.00 from acc  3            -- Balance    100.00\n"},
    {[] { log_wd_no_funds(1, 5, 0); },
     "\033[22;32mUser  0, Withdraw     1.00 from acc  5            -- Balance      0.00 --insufficient funds \033[0m\n"},
    {[] { log_wd_no_acc(2, -1); },
     "\033[22;31mUser  0, Withdraw     2.00 from acc -1                                 -- Error: account does not exist \033[0m\n"},
    {[] { log_wd_bad_amount(NAN, 3); },
     "\033[22;31mUser  0, Withdraw      nan from acc  3                                         -- Error: invalid amount \033[0m\n"},
    {[] { log_tr(5, 1, 2, 100); },
     "User  0, Transfer     5.00 from acc  1 to acc  2  -- Balance    100.00\n"},
    {[] { log_tr_no_funds(1000, 3, 4, 50); },
     "\033[22;32mUser  0, Transfer  1000.00 from acc  3            -- Balance    50.00 -- insufficient funds\033[0m\n"},
    {[] { log_tr_no_acc(5, 3, 16); },
     "\033[22;31mUser  0, Transfer     5.00 from acc  3 to acc 16                       -- Error: account does not exist\033[0m\n"},
    {[] { log_tr_bad_amount(INFINITY, 3, 4); },
     "\033[22;31mUser  0, Transfer      inf from acc  3 to acc  4                               -- Error: invalid amount\033[0m\n"},
    {[] { log_bl(4, 20); },
     "User  0, Balance                acc  4            -- Balance     20.00\n"},
    {[] { log_bl_no_acc(99); },
     "\033[22;31mUser  0, Balance of acc 99                                             -- Error: account does not exist \033[0m\n"},
    {[] { log_dp(1234567.5, 123, 98765432.25); },
     "User  0: Deposit 1234567.50 into acc 123            -- Balance 98765432.25\n"},
    {[] { log_wd_no_funds(123456789, -10, 1e9); },
     "\033[22;32mUser  0, Withdraw 123456789.00 from acc -10            -- Balance 1000000000.00 --insufficient funds \033[0m\n"},
    {[] { log_tr(1e8, -10, 1000, 1e10); },
     "User  0, Transfer 100000000.00 from acc -10 to acc 1000  -- Balance 10000000000.00\n"},
    {[] { log_tr_no_funds(1e9, 100, 1, 1e9); },
     "\033[22;32mUser  0, Transfer 1000000000.00 from acc 100            -- Balance 1000000000.00 -- insufficient funds\033[0m\n"},
    {[] { log_bl_no_acc(INT_MIN); },
     "\033[22;31mUser  0, Balance of acc -2147483648                                             -- Error: account does not exist \033[0m\n"},
};
const size_t ordinary_widths = 13;

// Column (from 1) where the visible text `what` ends in line, escape
// sequences not counted; 0 when it is not there.
size_t end_column(std::string line, const std::string& what) {
    for (size_t esc; (esc = line.find('\033')) != std::string::npos;)
        line.erase(esc, line.find('m', esc) - esc + 1);
    size_t at = line.find(what);
    return at == std::string::npos ? 0 : at + what.size();
}

}  // namespace

TEST(Logger, ConsoleLinesAndRecords) {
    enter_scratch_dir();
    for (const outcome& o : outcomes) {
        testing::internal::CaptureStdout();
        o.call();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), o.line);
    }
    EXPECT_EQ(read_file("p0.log"),
              "deposit > acc: 3 > amount:    100.00\nwithdrawal> acc: 3 > amount:     30.00\n"
              "transfer > from acc: 1 > to acc: 2 > amount: 5.00\nbalance > acc: 4\n\n"
              "deposit > acc: 123 > amount: 1234567.50\n"
              "transfer > from acc: -10 > to acc: 1000 > amount: 100000000.00\n");

    // The layout while every number fits its field; success lines (no
    // colour) are 70 columns long.
    const std::vector<std::pair<std::string, size_t>> columns = {{"-- Balance", 60},
                                                                 {"insufficient funds", 91},
                                                                 {"does not exist", 103},
                                                                 {"invalid amount", 103}};
    for (size_t i = 0; i < ordinary_widths; ++i) {
        const std::string& line = outcomes[i].line;
        for (const auto& [what, column] : columns) {
            if (size_t end = end_column(line, what)) {
                EXPECT_EQ(end, column) << line;
            }
        }
        EXPECT_EQ(line[0] == '\033', line.size() != 71u) << line;
    }
}

TEST(Logger, LogFileLifecycle) {
    const std::string dir = enter_scratch_dir();
    testing::internal::CaptureStdout();
    for (size_t i = 0; i < ordinary_widths; ++i)
        if (outcomes[i].line[0] == '\033') outcomes[i].call();  // every refusal
    EXPECT_TRUE(list_dir(dir).empty());
    log_bl(1, 2);
    EXPECT_EQ(read_file("p0.log"), "balance > acc: 1\n\n");
    log_parallel();
    log_barrier();
    log_critical();
    log_lock(3);
    log_unlock(3);
    log_bl(1, 2);
    EXPECT_EQ(read_file("p0.log"),
              "balance > acc: 1\n\nomp parallel: 1 threads\nomp barrier\nomp critical\n"
              "omp set lock 3\nomp unset lock 3\nbalance > acc: 1\n\n");

    // A record that cannot be written is reported; the console line still comes.
    ASSERT_EQ(unlink("p0.log"), 0);
    ASSERT_EQ(symlink("/dev/full", "p0.log"), 0);
    testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    log_bl(4, 20);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "p0.log: No space left on device\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), outcomes[11].line);
}
