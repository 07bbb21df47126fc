// The bank program end to end: command line, every ledger path, the fatal
// load paths, log files, and the consistency of a multi-threaded run.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "logger.h"
#include "test_support.h"

namespace {

const std::string USAGE =
    std::string("usage: ") + BANK_PATH +
    " <num_transaction files> <transaction file> {<transaction file.txt>}\n";
const std::string STARS = "    *********************************************************   \n";

std::string announcement(int user, const std::string &file) {
    char line[256];
    snprintf(line, sizeof line, "Returning argument 2+%2d: transaction file for user %2d = %s\n",
             user, user, file.c_str());
    return line;
}

// The final report with every account at 0.00 except the ones given.
std::string report(const std::vector<std::pair<int, std::string>> &balances) {
    std::string text = STARS;
    for (int acc = 0; acc < 16; ++acc) {
        std::string shown = "0.00";
        for (const auto &[a, b] : balances)
            if (a == acc) shown = b;
        char line[128];
        snprintf(line, sizeof line, "Account %2d balance after completion of transaction batch: %9s\n",
                 acc, shown.c_str());
        text += line;
    }
    return text + STARS;
}

run_result bank(const std::vector<std::string> &args, const std::string &dir) {
    std::vector<std::string> argv{BANK_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, dir);
}

}  // namespace

TEST(BankCommandLine, UsageErrors) {
    const std::string dir = make_scratch_dir();
    write_file(dir + "/a", "balance 1\n");
    const std::vector<std::vector<std::string>> cases = {
        {}, {"2"}, {"0", "a"}, {"-2", "a"}, {"abc", "a"}, {"3", "a", "a"}, {"4294967298", "a", "a"}};
    for (const auto &args : cases) {
        run_result r = bank(args, dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, USAGE);
    }
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"a"});
}

TEST(BankCommandLine, CountSelectsThreadsAndFiles) {
    const std::string dir = make_scratch_dir();
    write_file(dir + "/a", "balance 1\n");
    write_file(dir + "/b", "balance 2\n");
    run_result r = bank({"2x", "a", "b"}, dir);  // trailing text after the count is ignored
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(announcement(1, "b")), std::string::npos);
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"a", "b", "p0.log", "p1.log"}));

    r = bank({"1", "b", "a", "missing"}, dir);  // later names are ignored
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, r.out.find("User")),
              COLOR_GREEN " Warning: Only one thread reading one transaction file supported." COLOR_RESET
              "\n" + announcement(0, "b") + "balance 2 \nLoaded balance transaction\n");
    EXPECT_EQ(read_file(dir + "/p0.log"), "balance > acc: 1\n\nbalance > acc: 2\n\n");

    // A thread limit below the count would leave files unread.
    r = run_program({"/usr/bin/env", "OMP_THREAD_LIMIT=1", BANK_PATH, "2", "a", "b"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Cannot start 2 threads: the OpenMP thread limit is 1, exiting\n");
}

TEST(BankLedger, EveryPathOneThread) {
    const std::string dir = make_scratch_dir();
    write_file(dir + "/t",
               "deposit 3 100\nwithdrawal 5 1\nwithdrawal 3 30\ntransfer 3 4 20\ntransfer 4 4 5\n"
               "withdrawal 4 20\nbalance 4\ntransfer 3 4 1000\ndeposit 16 1\nwithdrawal -1 2\n"
               "transfer 3 16 5\nbalance 99\ndeposit 1 -5\nwithdrawal 3 nan\ntransfer 3 4 inf\n"
               "transfer 99 4 -1\ndeposit 2 -0\n");
    const std::string apply_lines =
        "User  0: Deposit    100.00 into acc  3            -- Balance      0.00\n"
        "\033[22;32mUser  0, Withdraw     1.00 from acc  5            -- Balance      0.00 --insufficient funds \033[0m\n"
        "User  0, Withdraw    30.00 from acc  3            -- Balance    100.00\n"
        "User  0, Transfer    20.00 from acc  3 to acc  4  -- Balance     70.00\n"
        "User  0, Transfer     5.00 from acc  4 to acc  4  -- Balance     20.00\n"
        "User  0, Withdraw    20.00 from acc  4            -- Balance     20.00\n"
        "User  0, Balance                acc  4            -- Balance      0.00\n"
        "\033[22;32mUser  0, Transfer  1000.00 from acc  3            -- Balance    50.00 -- insufficient funds\033[0m\n"
        "\033[22;31mUser  0: Deposit      1.00 into acc 16                                 -- Error: account does not exist \033[0m\n"
        "\033[22;31mUser  0, Withdraw     2.00 from acc -1                                 -- Error: account does not exist \033[0m\n"
        "\033[22;31mUser  0, Transfer     5.00 from acc  3 to acc 16                       -- Error: account does not exist\033[0m\n"
        "\033[22;31mUser  0, Balance of acc 99                                             -- Error: account does not exist \033[0m\n"
        "\033[22;31mUser  0: Deposit     -5.00 into acc  1                                         -- Error: invalid amount \033[0m\n"
        "\033[22;31mUser  0, Withdraw      nan from acc  3                                         -- Error: invalid amount \033[0m\n"
        "\033[22;31mUser  0, Transfer      inf from acc  3 to acc  4                               -- Error: invalid amount\033[0m\n"
        "\033[22;31mUser  0, Transfer    -1.00 from acc 99 to acc  4                       -- Error: account does not exist\033[0m\n"
        "User  0: Deposit     -0.00 into acc  2            -- Balance      0.00\n";
    const std::string records =
        "deposit > acc: 3 > amount:    100.00\nwithdrawal> acc: 3 > amount:     30.00\n"
        "transfer > from acc: 3 > to acc: 4 > amount: 20.00\n"
        "transfer > from acc: 4 > to acc: 4 > amount: 5.00\nwithdrawal> acc: 4 > amount:     20.00\n"
        "balance > acc: 4\n\ndeposit > acc: 2 > amount:     -0.00\n";
    for (int run = 1; run <= 2; ++run) {
        run_result r = bank({"1", "t"}, dir);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        const size_t first_user = r.out.find("User");
        ASSERT_NE(first_user, std::string::npos);
        EXPECT_EQ(r.out.substr(r.out.rfind('\n', first_user - 2) + 1),
                  "Loaded deposit transaction\n" + apply_lines + report({{3, "50.00"}}));
        EXPECT_EQ(read_file(dir + "/p0.log"), run == 1 ? records : records + records);
    }

    // Refusals alone leave no log file behind.
    const std::string refusals = make_scratch_dir();
    write_file(refusals + "/t", "withdrawal 1 5\ndeposit 16 1\nbalance -3\ntransfer 2 2 1\n");
    EXPECT_EQ(bank({"1", "t"}, refusals).status, 0);
    EXPECT_EQ(list_dir(refusals), std::vector<std::string>{"t"});
}

TEST(BankLedger, FatalLoadPaths) {
    const std::string dir = make_scratch_dir();
    write_file(dir + "/a", "deposit 1 10\n");
    write_file(dir + "/empty", "\n\n");
    run_result r = bank({"2", "a", "missing"}, dir);
    EXPECT_EQ(r.status, 1);
    const std::string second = announcement(1, "missing");
    const std::string bad = "Something bad happened, parse_transaction_file(missing) returned no list\n";
    EXPECT_NE(r.out.find(second + "File missing could not be opened\n"), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - second.size() - bad.size()), second + bad);
    EXPECT_EQ(r.out.find("User"), std::string::npos);

    r = bank({"1", "empty"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, COLOR_GREEN " Warning: Only one thread reading one transaction file supported."
                     COLOR_RESET "\n" + announcement(0, "empty") + announcement(0, "empty") +
                     "Something bad happened, parse_transaction_file(empty) returned no list\n");
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"a", "empty"}));
}

TEST(BankLedger, UnwritableLogFileDoesNotStopTheRun) {
    const std::string dir = make_scratch_dir();
    write_file(dir + "/t", "deposit 1 10\nbalance 1\nwithdrawal 1 20\n");
    ASSERT_EQ(mkdir((dir + "/p0.log").c_str(), 0755), 0);
    run_result r = bank({"1", "t"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "p0.log: Is a directory\np0.log: Is a directory\n");
    EXPECT_NE(r.out.find("User  0, Balance                acc  1            -- Balance     10.00\n"),
              std::string::npos);
    EXPECT_NE(r.out.find(report({{1, "10.00"}})), std::string::npos);
}

// Several users on shared accounts: replaying the apply-phase lines in the
// order printed must reproduce every balance shown and the final report.
TEST(BankConcurrency, ReplayOfPrintedOrderReproducesEveryBalance) {
    const std::string dir = make_scratch_dir();
    const int users = 4, per_user = 150;
    std::vector<std::string> expected_kinds(users), seen_kinds(users);
    std::vector<std::string> args{std::to_string(users)};
    unsigned seed = 2024;
    auto draw = [&seed](unsigned n) { return ((seed = seed * 1103515245u + 12345u) >> 16) % n; };
    for (int u = 0; u < users; ++u) {
        std::ostringstream text;
        for (int i = 0; i < per_user; ++i) {
            unsigned kind = draw(10), a = draw(17), b = draw(17), amount = 1 + draw(60);
            const char k = kind < 4 ? 'd' : kind < 6 ? 'w' : kind < 9 ? 't' : 'b';
            expected_kinds[u] += k;
            if (k == 'd') text << "deposit " << a << " " << amount << "\n";
            if (k == 'w') text << "withdrawal " << a << " " << amount << "\n";
            if (k == 't') text << "transfer " << a << " " << b << " " << amount << "\n";
            if (k == 'b') text << "balance " << a << "\n";
        }
        args.push_back("u" + std::to_string(u));
        write_file(dir + "/" + args.back(), text.str());
    }
    run_result r = bank(args, dir);
    ASSERT_EQ(r.status, 0);
    EXPECT_LT(r.out.rfind("Loaded"), r.out.find("User"));  // every list loaded before any is applied

    double balance[16] = {};
    std::vector<int> completed(users);
    int accounts_reported = 0;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find("User ");
        int user = 0, from = 0, to = 0, acc = 0;
        double amount = 0, shown = 0;
        char kind = 0;
        if (sscanf(line.c_str(), "Account %d balance after completion of transaction batch: %lf", &acc,
                   &shown) == 2) {
            EXPECT_EQ(shown, balance[acc]) << line;
            ++accounts_reported;
        }
        if (at == std::string::npos) continue;
        const char *body = line.c_str() + at;
        ASSERT_EQ(sscanf(body, "User %d%*[:,] %c", &user, &kind), 2) << line;
        ASSERT_TRUE(user >= 0 && user < users) << line;
        seen_kinds[user] += static_cast<char>(tolower(kind));
        if (sscanf(body, "User %d: Deposit %lf into acc %d -- Balance %lf", &user, &amount, &to, &shown) == 4) {
            EXPECT_EQ(shown, balance[to]) << line;
            balance[to] += amount;
            ++completed[user];
        } else if (sscanf(body, "User %d, Withdraw %lf from acc %d -- Balance %lf", &user, &amount, &from,
                          &shown) == 4) {
            const bool refused = line.find("insufficient funds") != std::string::npos;
            EXPECT_EQ(shown, balance[from]) << line;
            EXPECT_EQ(refused, balance[from] < amount) << line;
            if (!refused) balance[from] -= amount, ++completed[user];
        } else if (sscanf(body, "User %d, Transfer %lf from acc %d to acc %d -- Balance %lf", &user, &amount,
                          &from, &to, &shown) == 5) {
            EXPECT_EQ(shown, balance[from]) << line;
            EXPECT_GE(balance[from], amount) << line;
            balance[from] -= amount;
            balance[to] += amount;
            ++completed[user];
        } else if (sscanf(body, "User %d, Transfer %lf from acc %d -- Balance %lf", &user, &amount, &from,
                          &shown) == 4) {
            EXPECT_EQ(shown, balance[from]) << line;
            EXPECT_LT(balance[from], amount) << line;
        } else if (sscanf(body, "User %d, Balance acc %d -- Balance %lf", &user, &from, &shown) == 3) {
            EXPECT_EQ(shown, balance[from]) << line;
            ++completed[user];
        } else {
            EXPECT_NE(line.find("-- Error: account does not exist"), std::string::npos) << line;
        }
    }
    EXPECT_EQ(accounts_reported, 16);
    for (int u = 0; u < users; ++u) {
        EXPECT_EQ(seen_kinds[u], expected_kinds[u]) << "user " << u;  // each file applied in order
        std::string log = read_file(dir + "/p" + std::to_string(u) + ".log");
        int records = 0;
        for (size_t i = 0; (i = log.find(">", i)) != std::string::npos; i = log.find('\n', i))
            ++records;
        EXPECT_EQ(records, completed[u]) << "user " << u;
    }
}
