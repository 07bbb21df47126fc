#include "parser.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bank_log.h"
#include "messages.h"
#include "process_end.h"
#include "saturated_int.h"

namespace {

// Newlines the calling thread's reader has taken from its stream, so that a
// stop can name the line of the record where it happened. Each thread reads
// its own file.
thread_local long newlines_read = 0;

// Reads one token as read_string does and also hands back how many bytes it
// holds, so that a caller can tell a token that never started (the stream
// ended first) from one cut short by the end of the stream.
int read_token(FILE* fptr, char* line, int* token_length) {
    int length = 0;
    for (;;) {
        int c = fgetc(fptr);
        int status;
        if (c == EOF) {
            status = token_end;
        } else if (c == ' ') {
            status = token_blank;
        } else if (c == '\n') {
            ++newlines_read;
            status = length == 0 ? token_blank : token_newline;
        } else if (length == token_size - 1) {
            status = token_too_long;
        } else {
            line[length++] = static_cast<char>(c);
            continue;
        }
        line[length] = '\0';
        *token_length = length;
        return status;
    }
}

}  // namespace

int read_string(FILE* fptr, char* line) {
    int length = 0;
    return read_token(fptr, line, &length);
}

namespace {

// Reads the next operand into line: record_too_long when it does not fit,
// record_cut_off when the stream ended before its first byte. An empty
// operand ended by a blank or a newline is read (as 0).
int read_operand(FILE* fptr, char* line) {
    int length = 0;
    int status = read_token(fptr, line, &length);
    if (status == token_too_long) return record_too_long;
    if (status == token_end && length == 0) return record_cut_off;
    return record_read;
}

int read_account(FILE* fptr, char* line, int* account) {
    int status = read_operand(fptr, line);
    if (status == record_read) *account = to_int_saturated(line);
    return status;
}

int read_amount(FILE* fptr, char* line, double* amount) {
    int status = read_operand(fptr, line);
    if (status == record_read) *amount = strtod(line, nullptr);
    return status;
}

}  // namespace

int read_deposit(FILE* fptr, char* line, int* acc_dest, double* amount) {
    int status = read_account(fptr, line, acc_dest);
    if (status == record_read) status = read_amount(fptr, line, amount);
    if (status == record_read) printf("deposit %d %f \n", *acc_dest, *amount);
    return status;
}

int read_withdrawal(FILE* fptr, char* line, int* acc_src, double* amount) {
    int status = read_account(fptr, line, acc_src);
    if (status == record_read) status = read_amount(fptr, line, amount);
    if (status == record_read) printf("withdraw %d %f \n", *acc_src, *amount);
    return status;
}

int read_transfer(FILE* fptr, char* line, int* acc_src, int* acc_dest, double* amount) {
    int status = read_account(fptr, line, acc_src);
    if (status == record_read) status = read_account(fptr, line, acc_dest);
    if (status == record_read) status = read_amount(fptr, line, amount);
    if (status == record_read) printf("transfer %d %d %f \n", *acc_src, *acc_dest, *amount);
    return status;
}

int read_balance(FILE* fptr, char* line, int* acc_src) {
    int status = read_account(fptr, line, acc_src);
    if (status == record_read) printf("balance %d \n", *acc_src);
    return status;
}

namespace {

bool is_keyword(const char* word) {
    return strcmp(word, "deposit") == 0 || strcmp(word, "withdrawal") == 0 ||
           strcmp(word, "transfer") == 0 || strcmp(word, "balance") == 0;
}

void report_unknown_type(const char* keyword) {
    // "uknown" is misspelt on purpose: users and their scripts know the
    // message by this text, so it stays as it has always been.
    printf("%sError: uknown transaction type: %s\n%s", color_red(), keyword, color_reset());
}

void report_long_token() {
    printf("%sError: token longer than 63 characters\n%s", color_red(), color_reset());
}

void report_incomplete(const char* keyword) {
    printf("%sError: incomplete transaction: %s\n%s", color_red(), keyword, color_reset());
}

// Reads the operands of the record whose keyword, ended by a blank, is in
// line and links the record behind *tail. The load operations are handed the
// last node rather than the head, so appending costs the same however long
// the list is. Returns false when reading must stop.
bool read_record(FILE* fptr, char* line, transaction** head, transaction** tail) {
    int src = 0, dest = 0;
    double amount = 0.0;
    int status = record_read;
    const char* keyword = nullptr;  // line is overwritten by the operands
    transaction* start = *tail;
    if (strcmp(line, "deposit") == 0) {
        keyword = "deposit";
        status = read_deposit(fptr, line, &dest, &amount);
        if (status == record_read) start = load_deposit(type_deposit, dest, amount, start);
    } else if (strcmp(line, "withdrawal") == 0) {
        keyword = "withdrawal";
        status = read_withdrawal(fptr, line, &src, &amount);
        if (status == record_read) start = load_withdrawal(type_withdrawal, src, amount, start);
    } else if (strcmp(line, "transfer") == 0) {
        keyword = "transfer";
        status = read_transfer(fptr, line, &src, &dest, &amount);
        if (status == record_read) start = load_transfer(type_transfer, src, dest, amount, start);
    } else if (strcmp(line, "balance") == 0) {
        keyword = "balance";
        status = read_balance(fptr, line, &src);
        if (status == record_read) start = load_balance(type_balance, src, start);
    } else if (line[0] == '\0') {
        return true;  // a blank line or an extra blank
    } else {
        report_unknown_type(line);
        return false;
    }
    if (status == record_too_long) {
        report_long_token();
        return false;
    }
    if (status == record_cut_off) {
        report_incomplete(keyword);
        return false;
    }
    // start is the old last node, or the new node when the list was empty.
    *tail = *tail == nullptr ? start : (*tail)->next;
    if (*head == nullptr) *head = *tail;
    return true;
}

// The UTF-8 byte-order mark that some Windows editors write at the start of
// a file.
constexpr char byte_order_mark[] = "\xEF\xBB\xBF";

// Reads a token where a keyword is expected. The first token of the stream
// loses a byte-order mark that opens it. A token holding only a carriage
// return is the rest of a blank line (or of a blank) in a file with CRLF line
// ends. A token emptied either way reads as an empty token ended by a blank,
// which is skipped.
int read_keyword(FILE* fptr, char* line, bool first_token) {
    int status = read_string(fptr, line);
    bool emptied = false;
    const size_t mark_length = sizeof byte_order_mark - 1;
    if (first_token && strncmp(line, byte_order_mark, mark_length) == 0) {
        memmove(line, line + mark_length, strlen(line + mark_length) + 1);
        emptied = line[0] == '\0';
    }
    if (strcmp(line, "\r") == 0) {
        line[0] = '\0';
        emptied = true;
    }
    if (emptied && status == token_newline) status = token_blank;
    return status;
}

}  // namespace

transaction* read_transactions(FILE* fptr) {
    long stop_line = 0;
    return read_transactions_to_stop(fptr, &stop_line);
}

transaction* read_transactions_to_stop(FILE* fptr, long* stop_line) {
    transaction* head = nullptr;
    transaction* tail = nullptr;
    newlines_read = 0;
    *stop_line = 0;
    for (bool first_token = true; *stop_line == 0; first_token = false) {
        char* line = static_cast<char*>(malloc(token_size));
        if (line == nullptr) exit_out_of_memory();
        // Separators were taken with the empty tokens of earlier rounds, so
        // this token starts a record.
        const long record_line = newlines_read + 1;
        int status = read_keyword(fptr, line, first_token);
        bool stopped = true;
        if (status == token_blank) {
            stopped = !read_record(fptr, line, &head, &tail);
        } else if (status == token_too_long) {
            report_long_token();
        } else if (is_keyword(line)) {
            report_incomplete(line);  // a keyword ended by a newline or the end
        } else if (line[0] != '\0') {
            report_unknown_type(line);
        } else {
            free(line);  // the end of the stream after a record: not a stop
            break;
        }
        if (stopped) *stop_line = record_line;
        free(line);
    }
    return head;
}

FILE* open_transaction_file(const char* filename) { return fopen(filename, "r"); }

transaction* parse_transaction_file(const char* filename, bool* cut_short) {
    if (cut_short != nullptr) *cut_short = false;
    FILE* fptr = open_transaction_file(filename);
    if (fptr == nullptr) {
        const int reason = errno;
        printf("File %s could not be opened\n", filename);
        report_file_error("bank", filename, reason);
        return nullptr;
    }
    errno = 0;
    long stop_line = 0;
    transaction* list = read_transactions_to_stop(fptr, &stop_line);
    if (ferror(fptr)) {
        // A read error looks like the end of the file to the reader: the
        // list would silently miss the rest of the file, so none is returned.
        const int reason = errno != 0 ? errno : EIO;
        printf("File %s could not be read\n", filename);
        report_file_error("bank", filename, reason);
        free_transaction(list);
        list = nullptr;
    } else if (stop_line != 0) {
        // The records before the stop are applied; the run must not pass for
        // one that applied the whole file. A stop before any good record
        // leaves no list, and the file is named all the same.
        fprintf(stderr, "bank: %s, line %ld: reading stopped at this record; %s\n", filename,
                stop_line,
                list != nullptr ? "the rest of the file was not applied"
                                : "no record of the file was applied");
        if (cut_short != nullptr) *cut_short = list != nullptr;
    }
    fclose(fptr);
    return list;
}
