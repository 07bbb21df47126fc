// The transaction file reader: tokenizer statuses, the file format rules and
// every way reading stops.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "logger.h"
#include "parser.h"
#include "test_support.h"

namespace {

FILE *stream_of(const std::string &text) {
    FILE *f = tmpfile();
    fwrite(text.data(), 1, text.size(), f);
    rewind(f);
    return f;
}

struct parsed {
    std::string out;                   // what reading printed
    std::vector<std::string> records;  // "type src dest amount", in list order
};

parsed parse_text(const std::string &text) {
    FILE *f = stream_of(text);
    testing::internal::CaptureStdout();
    transaction_t *list = read_transactions(f);
    parsed result{testing::internal::GetCapturedStdout(), {}};
    fclose(f);
    while (list != nullptr) {
        result.records.push_back(std::to_string(list->type) + " " + std::to_string(list->src) +
                                 " " + std::to_string(list->dest) + " " +
                                 std::to_string(list->amount));
        transaction_t *next = list->next;
        free(list);
        list = next;
    }
    return result;
}

using records = std::vector<std::string>;

}  // namespace

TEST(Tokenizer, StatusesAndBufferLimit) {
    FILE *f = stream_of("ab cd\n \n\tx\r\nlast");
    char line[TOKEN_SIZE + 8];
    const std::vector<std::pair<std::string, int>> expected = {
        {"ab", TOKEN_BLANK}, {"cd", TOKEN_NEWLINE}, {"", TOKEN_BLANK}, {"", TOKEN_BLANK},
        {"\tx\r", TOKEN_NEWLINE}, {"last", TOKEN_END}, {"", TOKEN_END}};
    for (const auto &[token, status] : expected) {
        EXPECT_EQ(read_string(f, line), status);
        EXPECT_EQ(std::string(line), token);
    }
    fclose(f);

    f = stream_of(std::string(63, 'a') + " " + std::string(64, 'b') + " ");
    EXPECT_EQ(read_string(f, line), TOKEN_BLANK);
    EXPECT_EQ(strlen(line), 63u);
    memset(line, '#', sizeof line);
    EXPECT_EQ(read_string(f, line), TOKEN_TOO_LONG);
    EXPECT_EQ(std::string(line), std::string(63, 'b'));
    EXPECT_EQ(std::string(line + TOKEN_SIZE, 8), std::string(8, '#'));  // nothing written past
    fclose(f);
}

TEST(Loader, FileFormatRules) {
    parsed p = parse_text("deposit 3 100\nwithdrawal 4 2.5\ntransfer 1 2 30\nbalance 7\n");
    EXPECT_EQ(p.out,
              "deposit 3 100.000000 \nLoaded deposit transaction\n"
              "withdraw 4 2.500000 \nLoaded withdrawal transaction\n"
              "transfer 1 2 30.000000 \nLoaded transfer transaction\n"
              "balance 7 \nLoaded balance transaction\n");
    EXPECT_EQ(p.records, (records{"0 0 3 100.000000", "1 4 0 2.500000", "2 1 2 30.000000",
                                  "3 7 0 0.000000"}));

    // Blank lines and leading blanks; several records on a line; one across lines.
    p = parse_text("\n\n  deposit 1 10 deposit 2 20\n\ntransfer 1\n2 30\n");
    EXPECT_EQ(p.records, (records{"0 0 1 10.000000", "0 0 2 20.000000", "2 1 2 30.000000"}));
    // CRLF line ends: the carriage return stays in the operand and is ignored.
    p = parse_text("deposit 1 10\r\nbalance 2\r\n");
    EXPECT_EQ(p.records, (records{"0 0 1 10.000000", "3 2 0 0.000000"}));
    // Lenient numbers; out-of-range accounts saturate, and the echo shows it.
    p = parse_text("deposit x 1e2\nwithdrawal -1 \t5abc\ndeposit 4294967298 1\nbalance -9999999999\n");
    EXPECT_EQ(p.records, (records{"0 0 0 100.000000", "1 -1 0 5.000000", "0 0 2147483647 1.000000",
                                  "3 -2147483648 0 0.000000"}));
    EXPECT_NE(p.out.find("deposit 2147483647 1.000000 \n"), std::string::npos);
    EXPECT_NE(p.out.find("balance -2147483648 \n"), std::string::npos);
    // A 63-character operand still fits.
    p = parse_text("balance " + std::string(62, '0') + "7");
    EXPECT_EQ(p.records, records{"3 7 0 0.000000"});
    // A record cut short by the end of the file is completed with zeros.
    p = parse_text("transfer 1 2");
    EXPECT_EQ(p.out, "transfer 1 2 0.000000 \nLoaded transfer transaction\n");
    EXPECT_EQ(p.records, records{"2 1 2 0.000000"});
    // Nothing to read.
    for (const char *text : {"", "\n \n  \n"}) {
        p = parse_text(text);
        EXPECT_EQ(p.out, "");
        EXPECT_TRUE(p.records.empty());
    }
}

TEST(Loader, EveryStopKeepsTheRecordsBefore) {
    const std::string first = "deposit 1 10\n";
    const std::string first_out = "deposit 1 10.000000 \nLoaded deposit transaction\n";
    const std::string too_long = COLOR_RED "Error: token longer than 63 characters\n" COLOR_RESET;
    struct stop {
        std::string rest;  // what follows the first record
        size_t kept;       // records returned
        std::string tail;  // output after the first record's lines
    };
    const std::vector<stop> cases = {
        {"balance\ndeposit 2 2\n", 1,
         COLOR_RED "Error: incomplete transaction: balance\n" COLOR_RESET},
        {"withdrawal", 1, COLOR_RED "Error: incomplete transaction: withdrawal\n" COLOR_RESET},
        {"foo", 1, COLOR_RED "Error: uknown transaction type: foo\n" COLOR_RESET},
        {"Deposit 3 10\ndeposit 2 2\n", 1,
         COLOR_RED "Error: uknown transaction type: Deposit\n" COLOR_RESET},
        {"\r\ndeposit 2 2\n", 1, COLOR_RED "Error: uknown transaction type: \r\n" COLOR_RESET},
        // An empty operand shifts the record: 100 is then read as a keyword.
        {"deposit  3\n100\n", 2,
         "deposit 0 3.000000 \nLoaded deposit transaction\n" COLOR_RED
         "Error: uknown transaction type: 100\n" COLOR_RESET},
        {std::string(64, 'k') + " deposit 2 2\n", 1, too_long},
        {"transfer 1 " + std::string(70, '9') + " 5\ndeposit 2 2\n", 1, too_long},
    };
    for (const stop &c : cases) {
        parsed p = parse_text(first + c.rest);
        EXPECT_EQ(p.records.size(), c.kept) << c.rest;
        EXPECT_EQ(p.out, first_out + c.tail) << c.rest;
    }
}

TEST(Loader, FileEntryPoint) {
    const std::string dir = make_scratch_dir();
    write_file(dir + "/t.txt", "balance 7");
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse_transaction_file((dir + "/missing.txt").c_str()), nullptr);
    EXPECT_EQ(parse_transaction_file(dir.c_str()), nullptr);
    transaction_t *list = parse_transaction_file((dir + "/t.txt").c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "File " + dir + "/missing.txt could not be opened\nFile " + dir +
                  " could not be read\nbalance 7 \nLoaded balance transaction\n");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->src, 7);
    EXPECT_EQ(list->next, nullptr);
    free(list);
}

// An endless stream of deposit records.
static ssize_t endless_deposits(void *, char *buf, size_t size) {
    static const char record[] = "deposit 1 1\n";
    static size_t pos = 0;
    for (size_t i = 0; i < size; ++i) buf[i] = record[pos++ % (sizeof record - 1)];
    return static_cast<ssize_t>(size);
}

// Reads endless records with the address space capped a few MiB above what
// is in use, so that the loader's allocations soon fail.
static void load_until_memory_runs_out() {
    if (freopen("/dev/null", "w", stdout) == nullptr) exit(3);
    FILE *f = fopencookie(nullptr, "r", {endless_deposits, nullptr, nullptr, nullptr});
    FILE *statm = fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (f == nullptr || statm == nullptr || fscanf(statm, "%lu", &pages) != 1) exit(4);
    fclose(statm);
    rlim_t cap = pages * sysconf(_SC_PAGESIZE) + (8u << 20);
    rlimit limit{cap, cap};
    setrlimit(RLIMIT_AS, &limit);
    read_transactions(f);
    exit(5);
}

#if defined(__SANITIZE_ADDRESS__)
#define ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ADDRESS_SANITIZER 1
#endif
#endif

TEST(LoaderDeathTest, HeapFailureEndsTheProcess) {
#ifdef ADDRESS_SANITIZER
    GTEST_SKIP() << "the address sanitizer's own mappings defeat the address-space cap";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(load_until_memory_runs_out(), testing::ExitedWithCode(1),
                "^Memory could not be allocated, exiting\n$");
}
