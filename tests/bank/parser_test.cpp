// The transaction file reader: tokenizer statuses, the file format rules and
// every way reading stops.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "bank_log.h"
#include "parser.h"
#include "test_support.h"

namespace {

FILE* stream_of(const std::string& text) {
    FILE* f = tmpfile();
    fwrite(text.data(), 1, text.size(), f);
    rewind(f);
    return f;
}

using records = std::vector<std::string>;  // "type src dest amount", in list order

// Reads text with read_transactions; returns what it printed and the records.
std::pair<std::string, records> parse_text(const std::string& text) {
    FILE* f = stream_of(text);
    testing::internal::CaptureStdout();
    transaction* list = read_transactions(f);
    std::pair<std::string, records> result{testing::internal::GetCapturedStdout(), {}};
    fclose(f);
    for (transaction* next; list != nullptr; list = next) {
        result.second.push_back(std::to_string(list->type) + " " + std::to_string(list->src) + " " +
                                std::to_string(list->dest) + " " + std::to_string(list->amount));
        next = list->next;
        free(list);
    }
    return result;
}

}  // namespace

TEST(Tokenizer, StatusesAndBufferLimit) {
    FILE* f =
        stream_of("ab cd\n \n\tx\r\nlast" + std::string(59, 'a') + " " + std::string(64, 'b'));
    char line[token_size + 8];
    const std::vector<std::pair<std::string, int>> expected = {
        {"ab", token_blank},      {"cd", token_newline},
        {"", token_blank},        {"", token_blank},
        {"\tx\r", token_newline}, {"last" + std::string(59, 'a'), token_blank}};
    for (const auto& [token, status] : expected) {
        EXPECT_EQ(read_string(f, line), status);
        EXPECT_EQ(std::string(line), token);
    }
    memset(line, '#', sizeof line);
    EXPECT_EQ(read_string(f, line), token_too_long);
    EXPECT_EQ(std::string(line), std::string(63, 'b'));
    EXPECT_EQ(std::string(line + token_size, 8), std::string(8, '#'));  // nothing written past
    EXPECT_EQ(read_string(f, line), token_end);
    EXPECT_EQ(std::string(line), "");
    fclose(f);
}

TEST(Loader, FileFormatRules) {
    auto [out, list] = parse_text("deposit 3 100\nwithdrawal 4 2.5\ntransfer 1 2 30\nbalance 7\n");
    EXPECT_EQ(out,
              "deposit 3 100.000000 \nLoaded deposit transaction\n"
              "withdraw 4 2.500000 \nLoaded withdrawal transaction\n"
              "transfer 1 2 30.000000 \nLoaded transfer transaction\n"
              "balance 7 \nLoaded balance transaction\n");
    EXPECT_EQ(list,
              (records{"0 0 3 100.000000", "1 4 0 2.500000", "2 1 2 30.000000", "3 7 0 0.000000"}));
    // Blank lines and leading blanks; several records on a line; one across lines.
    EXPECT_EQ(parse_text("\n\n  deposit 1 10 deposit 2 20\n\ntransfer 1\n2 30\n").second,
              (records{"0 0 1 10.000000", "0 0 2 20.000000", "2 1 2 30.000000"}));
    // CRLF line ends: the carriage return stays in the operand and is ignored.
    EXPECT_EQ(parse_text("deposit 1 10\r\nbalance 2\r\n").second,
              (records{"0 0 1 10.000000", "3 2 0 0.000000"}));
    // Lenient numbers; out-of-range accounts saturate, and the echo shows it.
    std::tie(out, list) = parse_text(
        "deposit x 1e2\nwithdrawal -1 \t5abc\ndeposit 4294967298 1\nbalance -9999999999\n");
    EXPECT_EQ(list, (records{"0 0 0 100.000000", "1 -1 0 5.000000", "0 0 2147483647 1.000000",
                             "3 -2147483648 0 0.000000"}));
    EXPECT_NE(out.find("deposit 2147483647 1.000000 \n"), std::string::npos);
    EXPECT_NE(out.find("balance -2147483648 \n"), std::string::npos);
    // A 63-character operand still fits; a last operand ended by the end of
    // the file counts, and so does an empty one ended by a blank or newline.
    EXPECT_EQ(parse_text("balance " + std::string(62, '0') + "7").second,
              records{"3 7 0 0.000000"});
    EXPECT_EQ(parse_text("transfer 1 2 5"),
              std::make_pair(std::string("transfer 1 2 5.000000 \nLoaded transfer transaction\n"),
                             records{"2 1 2 5.000000"}));
    EXPECT_EQ(parse_text("deposit 4 \n").second, records{"0 0 4 0.000000"});
    for (const char* nothing : {"", "\n \n  \n"})
        EXPECT_EQ(parse_text(nothing), std::make_pair(std::string(), records{}));
}

TEST(Loader, EveryStopKeepsTheRecordsBefore) {
    const std::string first_out = "deposit 1 10.000000 \nLoaded deposit transaction\n";
    const std::string too_long = COLOR_RED "Error: token longer than 63 characters\n" COLOR_RESET;
    const std::string unknown = COLOR_RED "Error: uknown transaction type: ";
    const std::string incomplete = COLOR_RED "Error: incomplete transaction: ";
    struct stop {
        std::string rest;  // what follows a first record
        size_t kept;       // records returned
        std::string tail;  // output after the first record's lines
    };
    const std::vector<stop> cases = {
        {"balance\ndeposit 2 2\n", 1, incomplete + "balance\n" COLOR_RESET},
        {"withdrawal", 1, incomplete + "withdrawal\n" COLOR_RESET},
        // The file ends before an operand has started: never a record of 0.
        {"deposit 0", 1, incomplete + "deposit\n" COLOR_RESET},
        {"deposit 0\n", 1, incomplete + "deposit\n" COLOR_RESET},
        {"transfer 0 1 ", 1, incomplete + "transfer\n" COLOR_RESET},
        {"withdrawal ", 1, incomplete + "withdrawal\n" COLOR_RESET},
        {"balance \n\n", 2,
         "balance 0 \nLoaded balance transaction\n"},  // an empty operand, read as 0
        {"foo", 1, unknown + "foo\n" COLOR_RESET},
        {"Deposit 3 10\ndeposit 2 2\n", 1, unknown + "Deposit\n" COLOR_RESET},
        {"\r\rdeposit 2 2\n", 1, unknown + "\r\rdeposit\n" COLOR_RESET},
        // An empty operand shifts the record: 100 is then read as a keyword.
        {"deposit  3\n100\n", 2,
         "deposit 0 3.000000 \nLoaded deposit transaction\n" + unknown + "100\n" COLOR_RESET},
        {std::string(64, 'k') + " deposit 2 2\n", 1, too_long},
        {"transfer 1 " + std::string(70, '9') + " 5\ndeposit 2 2\n", 1, too_long},
    };
    for (const stop& c : cases) {
        auto [out, list] = parse_text("deposit 1 10\n" + c.rest);
        EXPECT_EQ(list.size(), c.kept) << c.rest;
        EXPECT_EQ(out, first_out + c.tail) << c.rest;
    }
}

// The line a stop names is where the record it could not read begins, after
// blank and CRLF lines and records across lines; none when read to the end.
TEST(Loader, StopNamesTheLineWhereTheRecordBegins) {
    const std::vector<std::pair<std::string, long>> cases = {
        {"deposit 1 10\nbalance 2", 0},
        {"deposit 1 10\n  \r\ntransfer 1\n2\n" + std::string(70, '9') + "\n", 3},
        {"deposit 1 10 balance\n", 1},
        {"deposit 1 10\ndeposit  3\n100\n", 3},  // 100 is read as a keyword
    };
    for (const auto& [text, line] : cases) {
        FILE* f = stream_of(text);
        testing::internal::CaptureStdout();
        long stop_line = -1;
        for (transaction *list = read_transactions_to_stop(f, &stop_line), *next; list;
             list = next) {
            next = list->next;
            free(list);
        }
        testing::internal::GetCapturedStdout();
        fclose(f);
        EXPECT_EQ(stop_line, line) << text;
    }
}

// Files saved on Windows: CRLF line ends, blank lines among them, and a UTF-8
// byte-order mark at the start. Only a mark at the very start is skipped.
TEST(Loader, WindowsLineEndsAndByteOrderMark) {
    const std::string bom = "\xEF\xBB\xBF";
    const records two = {"0 0 1 10.000000", "3 2 0 0.000000"};
    for (const std::string& text : std::vector<std::string>{
             "deposit 1 10\r\n\r\nbalance 2\r\n",
             "\r\n\r\ndeposit 1 10\r\n \r\n  \r\nbalance 2\r\n\r\n",
             "deposit 1 10 \r\nbalance 2 \r \r\n\r", bom + "deposit 1 10\nbalance 2\n",
             bom + "\r\ndeposit 1 10\r\nbalance 2", bom + "\ndeposit 1 10\nbalance 2\n",
             bom + " deposit 1 10\nbalance 2\n"}) {
        auto [out, list] = parse_text(text);
        EXPECT_EQ(list, two) << text;
        EXPECT_EQ(out.find("Error"), std::string::npos) << text;
    }
    for (const std::string& nothing : {bom, bom + "\r\n", std::string("\r\n\r\n")})
        EXPECT_EQ(parse_text(nothing), std::make_pair(std::string(), records{}));
    // The same bytes anywhere else are part of a token.
    const std::string unknown = COLOR_RED "Error: uknown transaction type: ";
    EXPECT_EQ(parse_text(" " + bom + "deposit 1 10\n"),
              std::make_pair(unknown + bom + "deposit\n" COLOR_RESET, records{}));
    EXPECT_EQ(parse_text("deposit 1 10\n" + bom + "balance 2\n").second,
              records{"0 0 1 10.000000"});
    EXPECT_EQ(parse_text(bom + bom + "balance 2\n").first, unknown + bom + "balance\n" COLOR_RESET);
    EXPECT_EQ(parse_text("\xEF\xBB"
                         "deposit 1 10\n")
                  .second,
              records{});

    // Through the file reader, as bank reads it.
    const std::string dir = enter_scratch_dir();
    write_file("windows.txt", bom + "deposit 1 10\r\n\r\nbalance 2\r\n");
    testing::internal::CaptureStdout();
    transaction* list = parse_transaction_file("windows.txt");
    testing::internal::GetCapturedStdout();
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->next, nullptr);
    EXPECT_EQ(list->next->type, type_balance);
    EXPECT_EQ(list->next->next, nullptr);
    free(list->next);
    free(list);
}

// An endless stream of deposit records.
static ssize_t endless_deposits(void*, char* buf, size_t size) {
    static const char record[] = "deposit 1 1\n";
    static size_t pos = 0;
    for (size_t i = 0; i < size; ++i) buf[i] = record[pos++ % (sizeof record - 1)];
    return static_cast<ssize_t>(size);
}

// Reads endless records with the address space capped a few MiB above what
// is in use, so that the loader's allocations soon fail.
static void load_until_memory_runs_out() {
    FILE* f = fopencookie(nullptr, "r", {endless_deposits, nullptr, nullptr, nullptr});
    FILE* statm = fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (!freopen("/dev/null", "w", stdout) || !f || !statm || fscanf(statm, "%lu", &pages) != 1)
        exit(3);
    const rlim_t cap = pages * sysconf(_SC_PAGESIZE) + (8u << 20);
    const rlimit limit{cap, cap};
    setrlimit(RLIMIT_AS, &limit);
    read_transactions(f);
    exit(4);
}

#ifndef __has_feature
#define __has_feature(x) 0
#endif

TEST(LoaderDeathTest, HeapFailureEndsTheProcess) {
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer) || \
    defined(__SANITIZE_THREAD__) || __has_feature(thread_sanitizer)
    GTEST_SKIP() << "a sanitizer's own mappings defeat the address-space cap";
#endif
    if (running_under_emulator())
        GTEST_SKIP() << "an emulator (qemu-user) ignores the address-space cap (RLIMIT_AS) of the "
                        "program it runs, so the loader's allocations would not fail before the "
                        "machine's memory runs out";
#ifdef GTEST_FLAG_SET
    GTEST_FLAG_SET(death_test_style, "threadsafe");
#else  // GoogleTest before 1.12
    testing::FLAGS_gtest_death_test_style = "threadsafe";
#endif
    EXPECT_EXIT(load_until_memory_runs_out(), testing::ExitedWithCode(1),
                "^Memory could not be allocated, exiting\n$");
}
