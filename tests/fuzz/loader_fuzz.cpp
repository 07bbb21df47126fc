// Fuzz target for the transaction file reader. Feeds arbitrary bytes to
// read_transactions through an in-memory stream and checks the returned list
// against an independent model of the file format: same records, same order,
// every node well formed. AddressSanitizer and LeakSanitizer catch any access
// outside a block and any node or buffer left behind.
//
// Built with clang's libFuzzer (-fsanitize=fuzzer) it is a fuzzer; built
// without it, the main at the bottom replays corpus files as an ordinary test.

#include "loader.h"
#include "parser.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct model_record {
    int type;
    int src;
    int dest;
    double amount;
};

// One token as the reader sees it: bytes up to a blank, a newline or the end.
struct model_token {
    std::string text;
    int status;  // 0: non-empty, ended by a newline; 1: ended by a blank, or empty; 2: end of input
};

model_token next_token(const uint8_t* data, size_t size, size_t& pos) {
    model_token token{"", 2};
    while (pos < size) {
        char c = static_cast<char>(data[pos++]);
        if (c == ' ') {
            token.status = 1;
            return token;
        }
        if (c == '\n') {
            token.status = token.text.empty() ? 1 : 0;
            return token;
        }
        token.text += c;
    }
    return token;
}

int to_account(const std::string& token) {
    errno = 0;
    long value = std::strtol(token.c_str(), nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

double to_amount(const std::string& token) { return std::strtod(token.c_str(), nullptr); }

// The records a file holds, in file order, as the format defines them.
std::vector<model_record> model_records(const uint8_t* data, size_t size) {
    const size_t max_token = 63;
    const std::string byte_order_mark = "\xEF\xBB\xBF";
    std::vector<model_record> records;
    size_t pos = 0;
    for (;;) {
        const bool first = pos == 0;
        model_token keyword = next_token(data, size, pos);
        if (keyword.text.size() > max_token) return records;
        // Keywords compare as C strings: bytes after an embedded null do not count.
        std::string word = keyword.text.c_str();
        // A byte-order mark opening the input is dropped; a lone carriage
        // return (a CRLF blank line) is no keyword. A keyword position left
        // empty by either is skipped, whatever ended it.
        bool emptied = false;
        if (first && word.compare(0, byte_order_mark.size(), byte_order_mark) == 0) {
            word.erase(0, byte_order_mark.size());
            emptied = word.empty();
        }
        if (word == "\r") {
            word.clear();
            emptied = true;
        }
        if (keyword.status != 1 && !(emptied && keyword.status == 0)) return records;
        int operands;
        int type;
        if (word == "deposit")
            type = 0, operands = 2;
        else if (word == "withdrawal")
            type = 1, operands = 2;
        else if (word == "transfer")
            type = 2, operands = 3;
        else if (word == "balance")
            type = 3, operands = 1;
        else if (word.empty())
            continue;
        else
            return records;
        std::vector<std::string> ops;
        for (int k = 0; k < operands; ++k) {
            model_token op = next_token(data, size, pos);
            if (op.text.size() > max_token) return records;
            // The input ended before this operand started: the record is dropped.
            if (op.status == 2 && op.text.empty()) return records;
            ops.push_back(op.text);
        }
        switch (type) {
            case 0:
                records.push_back({0, 0, to_account(ops[0]), to_amount(ops[1])});
                break;
            case 1:
                records.push_back({1, to_account(ops[0]), 0, to_amount(ops[1])});
                break;
            case 2:
                records.push_back({2, to_account(ops[0]), to_account(ops[1]), to_amount(ops[2])});
                break;
            default:
                records.push_back({3, to_account(ops[0]), 0, 0.0});
                break;
        }
    }
}

bool same_amount(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

void fail(const char* what, size_t index) {
    std::fprintf(stderr, "transaction list differs from the file at record %zu: %s\n", index, what);
    std::abort();
}

void free_list(transaction* node) {
    while (node != nullptr) {
        transaction* next = node->next;
        std::free(node);
        node = next;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The reader echoes every record; the output is of no interest here.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* stream = size > 0 ? fmemopen(const_cast<uint8_t*>(data), size, "r") : std::tmpfile();
    if (stream == nullptr) std::abort();
    transaction* list = read_transactions(stream);
    std::fclose(stream);

    const std::vector<model_record> expected = model_records(data, size);
    size_t index = 0;
    for (const transaction* node = list; node != nullptr; node = node->next, ++index) {
        if (index >= expected.size()) fail("extra node", index);
        const model_record& want = expected[index];
        if (node->type != want.type) fail("type", index);
        if (node->src != want.src) fail("source account", index);
        if (node->dest != want.dest) fail("destination account", index);
        if (!same_amount(node->amount, want.amount)) fail("amount", index);
    }
    if (index != expected.size()) fail("missing node", index);
    free_list(list);
    return 0;
}

#ifndef LOADER_FUZZ_WITH_LIBFUZZER
// Replays each file named on the command line once.
int main(int argc, char** argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    for (int i = 1; i < argc; ++i) {
        FILE* in = std::fopen(argv[i], "rb");
        if (in == nullptr) {
            std::fprintf(stderr, "%s: %s\n", argv[i], std::strerror(errno));
            return 1;
        }
        std::vector<uint8_t> bytes;
        int c;
        while ((c = std::fgetc(in)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
        std::fclose(in);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::fprintf(stderr, "replayed %d inputs\n", argc - 1);
    return 0;
}
#endif
