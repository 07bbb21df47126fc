// The bank program end to end: command line, every ledger path, the fatal
// load paths, log files, and the consistency of a multi-threaded run.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bank_log.h"
#include "bank_run.h"
#include "test_support.h"

namespace {

const std::string WARNING = COLOR_GREEN
    " Warning: Only one thread reading one transaction file supported." COLOR_RESET "\n";

std::string announcement(int user, const std::string& file) {
    char line[256];
    snprintf(line, sizeof line, "Returning argument 2+%2d: transaction file for user %2d = %s\n",
             user, user, file.c_str());
    return line;
}

}  // namespace

TEST(BankCommandLine, UsageErrorsAndFileSelection) {
    const std::string dir = make_scratch_dir();
    write_file(dir + "/a", "balance 1\n");
    write_file(dir + "/b", "balance 2\n");
    const std::string usage =
        std::string("usage: ") + BANK_PATH +
        " <num_transaction files> <transaction file> {<transaction file.txt>}\n"
        "Try '" +
        BANK_PATH + " --help' for more information.\n";
    // Each usage error says what is wrong before the usage line.
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{}, "no count of transaction files given"},
        {{"2"}, "no transaction file named after the count"},
        {{"0", "a"}, "the count '0' is not positive"},
        {{"-2", "a"}, "the count '-2' is not positive"},
        {{"abc", "a"}, "the count 'abc' is not a number"},
        {{"3", "a", "b"}, "the count '3' exceeds the 2 file names given"},
        {{"2", "a"}, "the count '2' exceeds the 1 file name given"},
        {{"4294967298", "a", "b"}, "the count '4294967298' exceeds the 2 file names given"}};
    for (const auto& [args, reason] : refused) {
        run_result r = bank(args, dir);
        EXPECT_EQ(std::make_tuple(r.status, r.out, r.err),
                  std::make_tuple(1, "", "bank: " + reason + "\n" + usage));
    }
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"a", "b"}));

    run_result r = bank({"2x", "a", "b"}, dir);  // text after the count is ignored
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(announcement(1, "b")), std::string::npos);
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"a", "b", "p0.log", "p1.log"}));

    r = bank({"1", "b", "a", "missing"}, dir);  // names beyond the count are not read
    EXPECT_EQ(r.out.substr(0, r.out.find("User")),
              WARNING + announcement(0, "b") + "balance 2 \nLoaded balance transaction\n");
    EXPECT_EQ(std::make_pair(r.status, r.err),
              std::make_pair(0, std::string("bank: the count is 1; these files are not read: "
                                            "'a' 'missing'\n")));
    EXPECT_EQ(read_file(dir + "/p0.log"), "balance > acc: 1\n\nbalance > acc: 2\n\n");

    // A thread limit below the count would leave files unread.
    r = run_program({"/usr/bin/env", "OMP_THREAD_LIMIT=1", BANK_PATH, "2", "a", "b"}, dir);
    EXPECT_EQ(
        std::make_tuple(r.status, r.out, r.err),
        std::make_tuple(1, "", "Cannot start 2 threads: the OpenMP thread limit is 1, exiting\n"));
}

TEST(BankCommandLine, HelpAndVersion) {
    expect_help_and_version(BANK_PATH, "bank",
                            "<num_transaction files> <transaction file> {<transaction file.txt>}");
    // The help states the format the reader needs.
    const run_result r = bank({"--help"}, make_scratch_dir());
    EXPECT_NE(r.out.find("one record per line, one blank between its fields"), std::string::npos);
    EXPECT_EQ(r.out.find("blanks or newlines"), std::string::npos);
}

TEST(BankLedger, EveryPathOneThread) {
    // Each record of the file and the bank log call that the ledger must make
    // for it; what those calls print and record here is the expected result.
    const std::vector<std::pair<std::string, void (*)()>> steps = {
        {"deposit 3 100", [] { log_dp(100, 3, 0); }},
        {"withdrawal 5 1", [] { log_wd_no_funds(1, 5, 0); }},  // fresh account
        {"withdrawal 3 30", [] { log_wd(30, 3, 100); }},
        {"transfer 3 4 20", [] { log_tr(20, 3, 4, 70); }},
        {"transfer 4 4 5", [] { log_tr(5, 4, 4, 20); }},  // debited, then credited
        {"withdrawal 4 20", [] { log_wd(20, 4, 20); }},   // the whole balance
        {"balance 4", [] { log_bl(4, 0); }},
        {"transfer 3 4 1000", [] { log_tr_no_funds(1000, 3, 4, 50); }},
        {"deposit 16 1", [] { log_dp_no_acc(1, 16); }},
        {"withdrawal -1 2", [] { log_wd_no_acc(2, -1); }},
        {"transfer 3 16 5", [] { log_tr_no_acc(5, 3, 16); }},
        {"balance 99", [] { log_bl_no_acc(99); }},
        {"deposit 1 -5", [] { log_dp_bad_amount(-5, 1); }},
        {"withdrawal 3 nan", [] { log_wd_bad_amount(NAN, 3); }},
        {"transfer 3 4 inf", [] { log_tr_bad_amount(INFINITY, 3, 4); }},
        {"transfer 99 4 -1", [] { log_tr_no_acc(-1, 99, 4); }},  // accounts before amount
        {"deposit 2 -0", [] { log_dp(-0.0, 2, 0); }},            // -0 is a valid amount
        // No credit may take a balance past the largest double.
        {"deposit 6 1e308", [] { log_dp(1e308, 6, 0); }},
        {"deposit 6 1e308", [] { log_dp_bad_amount(1e308, 6); }},
        {"deposit 7 1e308", [] { log_dp(1e308, 7, 0); }},
        {"transfer 6 7 1e308", [] { log_tr_bad_amount(1e308, 6, 7); }},
        {"transfer 6 6 1e308", [] { log_tr(1e308, 6, 6, 1e308); }},  // credits what it debits
    };
    const std::string dir = enter_scratch_dir();
    std::string file;
    testing::internal::CaptureStdout();
    for (const auto& [record, call] : steps) {
        file += record + "\n";
        call();
    }
    const std::string expected_out =
        testing::internal::GetCapturedStdout() +
        report({0, 0, 0, 50, 0, 0, 1e308, 1e308, 0, 0, 0, 0, 0, 0, 0, 0});
    const std::string records = read_file("p0.log");
    ASSERT_EQ(mkdir("run", 0755), 0);
    write_file("run/t", file);
    for (int run = 1; run <= 2; ++run) {  // a second run appends
        run_result r = bank({"1", "t"}, dir + "/run");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.substr(0, WARNING.size()), WARNING);
        EXPECT_EQ(r.out.substr(r.out.find("User")), expected_out);
        EXPECT_EQ(read_file("run/p0.log"), run == 1 ? records : records + records);
    }
}

TEST(BankLedger, FailuresWhileLoadingOrLogging) {
    const std::string dir = make_scratch_dir();
    write_file(dir + "/a", "deposit 1 10\nbalance 1\nwithdrawal 1 20\n");
    write_file(dir + "/empty", "\n\n");
    run_result r = bank({"2", "a", "missing"}, dir);
    EXPECT_EQ(r.status, 1);
    const std::string second = announcement(1, "missing");
    const std::string bad =
        "Something bad happened, parse_transaction_file(missing) returned no list\n";
    // Lines of thread 0 may come in between, but not after the last two.
    EXPECT_LT(r.out.find(second), r.out.find("File missing could not be opened\n"));
    EXPECT_EQ(r.out.substr(r.out.size() - second.size() - bad.size()), second + bad);
    EXPECT_EQ(r.out.find("User"), std::string::npos);
    EXPECT_EQ(r.err, "bank: missing: No such file or directory\n");  // why, beside the message

    r = bank({"1", "empty"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              WARNING + announcement(0, "empty") + announcement(0, "empty") +
                  "Something bad happened, parse_transaction_file(empty) returned no list\n");
    r = bank({"1", "."}, dir);  // a directory opens, but cannot be read
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("File . could not be read\n"), std::string::npos);
    EXPECT_EQ(r.err, "bank: .: Is a directory\n");
    // A bad first record leaves no list: no user's file is applied.
    write_file(dir + "/bad", "withdraw 1 5\ndeposit 1 10\n");
    r = bank({"2", "a", "bad"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(COLOR_RED "Error: uknown transaction type: withdraw\n"),
              std::string::npos);
    EXPECT_EQ(r.out.find("User"), std::string::npos);
    const std::string no_list =
        "Something bad happened, parse_transaction_file(bad) returned no list\n";
    EXPECT_EQ(r.out.substr(r.out.size() - no_list.size()), no_list);
    EXPECT_EQ(r.err,
              "bank: bad, line 1: reading stopped at this record; no record of the file was "
              "applied\n");
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"a", "bad", "empty"}));

    // An unwritable log file is reported for each record; the run goes on to
    // its final report and only then ends with status 1. The same for a log
    // file on a full disk.
    ASSERT_EQ(mkdir((dir + "/p0.log").c_str(), 0755), 0);
    r = bank({"1", "a"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "p0.log: Is a directory\np0.log: Is a directory\n");
    EXPECT_NE(
        r.out.find("User  0, Balance                acc  1            -- Balance     10.00\n"),
        std::string::npos);
    EXPECT_NE(r.out.find(report({0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})),
              std::string::npos);
    const std::string unwritable_out = r.out;
    ASSERT_EQ(rmdir((dir + "/p0.log").c_str()), 0);
    ASSERT_EQ(symlink("/dev/full", (dir + "/p0.log").c_str()), 0);
    r = bank({"1", "a"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "p0.log: No space left on device\np0.log: No space left on device\n");
    EXPECT_EQ(r.out, unwritable_out);
}

// Several users on shared accounts: replaying the apply-phase lines in the
// order printed must reproduce every balance shown and the final report.
TEST(BankConcurrency, ReplayOfPrintedOrderReproducesEveryBalance) {
    const std::string dir = make_scratch_dir();
    const int users = 4;
    const char* formats[] = {"deposit %u %u\n", "withdrawal %u %u\n", "transfer %u %u %u\n",
                             "balance %u\n"};
    std::vector<std::string> kinds(users), seen(users), args{std::to_string(users)};
    unsigned seed = 2024;
    auto draw = [&seed](unsigned n) { return ((seed = seed * 1103515245u + 12345u) >> 16) % n; };
    for (int u = 0; u < users; ++u) {
        std::string text;
        for (int i = 0; i < 150; ++i) {
            unsigned kind = draw(4), acc = draw(17), to = draw(17), amount = 1 + draw(60);
            char record[64];
            snprintf(record, sizeof record, formats[kind], acc, kind == 2 ? to : amount, amount);
            text += record;
            kinds[u] += "DWTB"[kind];
        }
        args.push_back("u" + std::to_string(u));
        write_file(dir + "/" + args.back(), text);
    }
    run_result r = bank(args, dir);
    ASSERT_EQ(r.status, 0);
    EXPECT_LT(r.out.rfind("Loaded"),
              r.out.find("User"));  // every list loaded before any is applied

    std::vector<double> balance(16);
    std::vector<int> completed(users);
    std::istringstream lines(r.out.substr(0, r.out.find(STARS)));
    for (std::string line; std::getline(lines, line);) {
        if (line.find("User") == std::string::npos) continue;
        const std::vector<double> n = numbers_of(line);  // user, [amount,] account(s), [balance]
        const int user = static_cast<int>(n[0]);
        const char kind = line[line.find_first_of(":,") + 2];
        ASSERT_TRUE(user >= 0 && user < users) << line;
        seen[user] += kind;
        if (line.find("does not exist") != std::string::npos) continue;
        const bool no_funds = line.find("insufficient funds") != std::string::npos;
        const double amount = n[1], shown = n.back();
        const int acc = static_cast<int>(kind == 'B' ? n[1] : n[2]);
        EXPECT_EQ(shown, balance[acc]) << line;
        const bool debit = kind == 'W' || kind == 'T';
        EXPECT_EQ(no_funds, debit && balance[acc] < amount) << line;
        if (kind == 'D') balance[acc] += amount;
        if (debit && !no_funds) balance[acc] -= amount;
        if (kind == 'T' && !no_funds) balance[static_cast<int>(n[3])] += amount;
        completed[user] += !no_funds;
    }
    EXPECT_EQ(r.out.substr(r.out.find(STARS)), report(balance));
    for (int u = 0; u < users; ++u) {
        EXPECT_EQ(seen[u], kinds[u]) << "user " << u;  // each file applied in its order
        std::istringstream log(read_file(dir + "/p" + std::to_string(u) + ".log"));
        int records = 0;
        for (std::string record; std::getline(log, record);) records += !record.empty();
        EXPECT_EQ(records, completed[u]) << "user " << u;
    }
}
