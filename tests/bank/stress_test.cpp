// Stress test of the shared ledger: eight users hammer four accounts with
// thousands of transactions each (valid and missing accounts, overdrafts,
// invalid amounts). An independent replay of the console lines, in the order
// they were printed, must reproduce every outcome and balance shown, the
// final report, and each user's log file.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "bank_run.h"
#include "test_support.h"

namespace {

struct stress_txn {
    char kind;  // D, W, T or B
    int acc;    // account credited by a deposit, debited otherwise
    int to;     // account credited by a transfer
    double amount;
};

bool in_range(int acc) { return acc >= 0 && acc < 16; }

// An account operand as the bank reads it: base 10, saturated to the int range.
int to_int(const char* text) {
    const long value = strtol(text, nullptr, 10);
    return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
}

// The refusal a console line reports, or "" for a completed operation.
std::string refusal_of(const std::string& line) {
    for (const char* text : {"account does not exist", "invalid amount", "insufficient funds"})
        if (line.find(text) != std::string::npos) return text;
    return "";
}

}  // namespace

TEST(BankStress, EightUsersOnContendedAccountsReplayExactly) {
    const int users = 8, per_user = 2500;
    const std::string dir = make_scratch_dir();
    // Four contended accounts, plus numbers that name no account (the last
    // saturates to INT_MAX); amounts in quarters so every sum is exact.
    const char* accounts[] = {"0", "1", "2", "3", "0", "1", "16", "-1", "2147483648"};
    const char* bad_amounts[] = {"-2.5", "nan", "inf", "-inf"};
    unsigned seed = 7;
    auto draw = [&seed](unsigned n) { return ((seed = seed * 1103515245u + 12345u) >> 16) % n; };

    std::vector<std::vector<stress_txn>> files(users);
    std::vector<std::string> args{std::to_string(users)};
    for (int u = 0; u < users; ++u) {
        std::string text;
        for (int i = 0; i < per_user; ++i) {
            const char kind = "DWTB"[draw(4)];
            const char *acc = accounts[draw(9)], *to = accounts[draw(9)];
            char amount[32];
            if (draw(10) == 0)
                snprintf(amount, sizeof amount, "%s", bad_amounts[draw(4)]);
            else
                snprintf(amount, sizeof amount, "%.2f", draw(kind == 'D' ? 200 : 400) / 4.0);
            const std::string fields =
                kind == 'D'   ? std::string("deposit ") + acc + " " + amount
                : kind == 'W' ? std::string("withdrawal ") + acc + " " + amount
                : kind == 'T' ? std::string("transfer ") + acc + " " + to + " " + amount
                              : std::string("balance ") + acc;
            text += fields + "\n";
            files[u].push_back(
                {kind, to_int(acc), to_int(to), kind == 'B' ? 0.0 : strtod(amount, nullptr)});
        }
        args.push_back("user" + std::to_string(u) + ".txt");
        write_file(dir + "/" + args.back(), text);
    }

    run_result r = bank(args, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const size_t report_at = r.out.find(STARS);
    ASSERT_NE(report_at, std::string::npos);

    std::vector<double> balance(16, 0.0);
    std::vector<size_t> next(users, 0);
    std::vector<std::string> log(users);
    std::istringstream lines(r.out.substr(0, report_at));
    int outcome_lines = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("User") == std::string::npos) continue;
        ++outcome_lines;
        const std::vector<double> n = numbers_of(line);
        const int user = static_cast<int>(n.at(0));
        ASSERT_TRUE(user >= 0 && user < users) << line;
        ASSERT_LT(next[user], files[user].size()) << "more lines than records for user " << user;
        const stress_txn t = files[user][next[user]++];  // each user's lines come in file order
        const char* word = t.kind == 'D'   ? "Deposit"
                           : t.kind == 'W' ? "Withdraw"
                           : t.kind == 'T' ? "Transfer"
                                           : "Balance";
        ASSERT_NE(line.find(word), std::string::npos)
            << "user " << user << " expected " << word << ": " << line;

        const bool accounts_ok = in_range(t.acc) && (t.kind != 'T' || in_range(t.to));
        const bool amount_ok =
            t.kind == 'B' || (std::isfinite(t.amount) && !std::signbit(t.amount));
        const bool debit = t.kind == 'W' || t.kind == 'T';
        const bool funds_ok = !accounts_ok || !debit || balance[t.acc] >= t.amount;
        const std::string expected = !accounts_ok ? "account does not exist"
                                     : !amount_ok ? "invalid amount"
                                     : !funds_ok  ? "insufficient funds"
                                                  : "";
        ASSERT_EQ(refusal_of(line), expected) << line;
        if (!accounts_ok || !amount_ok) continue;
        EXPECT_EQ(n.back(), balance[t.acc]) << line;  // the balance before the change
        if (!funds_ok) continue;

        char record[160];
        if (t.kind == 'D') {
            snprintf(record, sizeof record, "deposit > acc: %d > amount: %9.2f\n", t.acc, t.amount);
            balance[t.acc] += t.amount;
        } else if (t.kind == 'W') {
            snprintf(record, sizeof record, "withdrawal> acc: %d > amount: %9.2f\n", t.acc,
                     t.amount);
            balance[t.acc] -= t.amount;
        } else if (t.kind == 'T') {
            snprintf(record, sizeof record,
                     "transfer > from acc: %d > to acc: %d > amount: %3.2f\n", t.acc, t.to,
                     t.amount);
            balance[t.acc] -= t.amount;
            balance[t.to] += t.amount;
        } else {
            snprintf(record, sizeof record, "balance > acc: %d\n\n", t.acc);
        }
        log[user] += record;
    }
    EXPECT_EQ(outcome_lines, users * per_user);
    EXPECT_EQ(r.out.substr(report_at), report(balance));
    for (int u = 0; u < users; ++u) {
        EXPECT_EQ(next[u], files[u].size()) << "user " << u;
        EXPECT_TRUE(read_file(dir + "/p" + std::to_string(u) + ".log") == log[u])
            << "log of user " << u;
    }
}
