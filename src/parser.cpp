#include "parser.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "logger.h"
#include "messages.h"

// Newlines the calling thread's reader has taken from its stream, so that a
// stop can name the line of the record where it happened. Each thread reads
// its own file.
static thread_local long newlines_read = 0;

int to_int_saturated(const char *text) {
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// Reads one token as read_string does and also hands back how many bytes it
// holds, so that a caller can tell a token that never started (the stream
// ended first) from one cut short by the end of the stream.
static int read_token(FILE *fptr, char *line, int *token_length) {
    int length = 0;
    for (;;) {
        int c = fgetc(fptr);
        int status;
        if (c == EOF) {
            status = TOKEN_END;
        } else if (c == ' ') {
            status = TOKEN_BLANK;
        } else if (c == '\n') {
            ++newlines_read;
            status = length == 0 ? TOKEN_BLANK : TOKEN_NEWLINE;
        } else if (length == TOKEN_SIZE - 1) {
            status = TOKEN_TOO_LONG;
        } else {
            line[length++] = static_cast<char>(c);
            continue;
        }
        line[length] = '\0';
        *token_length = length;
        return status;
    }
}

int read_string(FILE *fptr, char *line) {
    int length = 0;
    return read_token(fptr, line, &length);
}

// Reads the next operand into line: RECORD_TOO_LONG when it does not fit,
// RECORD_CUT_OFF when the stream ended before its first byte. An empty
// operand ended by a blank or a newline is read (as 0).
static int read_operand(FILE *fptr, char *line) {
    int length = 0;
    int status = read_token(fptr, line, &length);
    if (status == TOKEN_TOO_LONG) return RECORD_TOO_LONG;
    if (status == TOKEN_END && length == 0) return RECORD_CUT_OFF;
    return RECORD_READ;
}

static int read_account(FILE *fptr, char *line, int *account) {
    int status = read_operand(fptr, line);
    if (status == RECORD_READ) *account = to_int_saturated(line);
    return status;
}

static int read_amount(FILE *fptr, char *line, double *amount) {
    int status = read_operand(fptr, line);
    if (status == RECORD_READ) *amount = strtod(line, nullptr);
    return status;
}

int read_deposit(FILE *fptr, char *line, int *acc_dest, double *amount) {
    int status = read_account(fptr, line, acc_dest);
    if (status == RECORD_READ) status = read_amount(fptr, line, amount);
    if (status == RECORD_READ) printf("deposit %d %f \n", *acc_dest, *amount);
    return status;
}

int read_withdrawal(FILE *fptr, char *line, int *acc_src, double *amount) {
    int status = read_account(fptr, line, acc_src);
    if (status == RECORD_READ) status = read_amount(fptr, line, amount);
    if (status == RECORD_READ) printf("withdraw %d %f \n", *acc_src, *amount);
    return status;
}

int read_transfer(FILE *fptr, char *line, int *acc_src, int *acc_dest, double *amount) {
    int status = read_account(fptr, line, acc_src);
    if (status == RECORD_READ) status = read_account(fptr, line, acc_dest);
    if (status == RECORD_READ) status = read_amount(fptr, line, amount);
    if (status == RECORD_READ) printf("transfer %d %d %f \n", *acc_src, *acc_dest, *amount);
    return status;
}

int read_balance(FILE *fptr, char *line, int *acc_src) {
    int status = read_account(fptr, line, acc_src);
    if (status == RECORD_READ) printf("balance %d \n", *acc_src);
    return status;
}

static bool is_keyword(const char *word) {
    return strcmp(word, "deposit") == 0 || strcmp(word, "withdrawal") == 0 ||
           strcmp(word, "transfer") == 0 || strcmp(word, "balance") == 0;
}

static void report_unknown_type(const char *keyword) {
    printf("%sError: uknown transaction type: %s\n%s", color_red(), keyword, color_reset());
}

static void report_long_token() {
    printf("%sError: token longer than 63 characters\n%s", color_red(), color_reset());
}

static void report_incomplete(const char *keyword) {
    printf("%sError: incomplete transaction: %s\n%s", color_red(), keyword, color_reset());
}

// Reads the operands of the record whose keyword, ended by a blank, is in
// line and links the record behind *tail. The load operations are handed the
// last node rather than the head, so appending costs the same however long
// the list is. Returns false when reading must stop.
static bool read_record(FILE *fptr, char *line, transaction_t **head, transaction_t **tail) {
    int src = 0, dest = 0;
    double amount = 0.0;
    int status = RECORD_READ;
    const char *keyword = nullptr;  // line is overwritten by the operands
    transaction_t *start = *tail;
    if (strcmp(line, "deposit") == 0) {
        keyword = "deposit";
        status = read_deposit(fptr, line, &dest, &amount);
        if (status == RECORD_READ) start = load_deposit(TYPE_DEPOSIT, dest, amount, start);
    } else if (strcmp(line, "withdrawal") == 0) {
        keyword = "withdrawal";
        status = read_withdrawal(fptr, line, &src, &amount);
        if (status == RECORD_READ) start = load_withdrawal(TYPE_WITHDRAWAL, src, amount, start);
    } else if (strcmp(line, "transfer") == 0) {
        keyword = "transfer";
        status = read_transfer(fptr, line, &src, &dest, &amount);
        if (status == RECORD_READ) start = load_transfer(TYPE_TRANSFER, src, dest, amount, start);
    } else if (strcmp(line, "balance") == 0) {
        keyword = "balance";
        status = read_balance(fptr, line, &src);
        if (status == RECORD_READ) start = load_balance(TYPE_BALANCE, src, start);
    } else if (line[0] == '\0') {
        return true;  // a blank line or an extra blank
    } else {
        report_unknown_type(line);
        return false;
    }
    if (status == RECORD_TOO_LONG) {
        report_long_token();
        return false;
    }
    if (status == RECORD_CUT_OFF) {
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
static const char BYTE_ORDER_MARK[] = "\xEF\xBB\xBF";

// Reads a token where a keyword is expected. The first token of the stream
// loses a byte-order mark that opens it. A token holding only a carriage
// return is the rest of a blank line (or of a blank) in a file with CRLF line
// ends. A token emptied either way reads as an empty token ended by a blank,
// which is skipped.
static int read_keyword(FILE *fptr, char *line, bool first_token) {
    int status = read_string(fptr, line);
    bool emptied = false;
    const size_t mark_length = sizeof BYTE_ORDER_MARK - 1;
    if (first_token && strncmp(line, BYTE_ORDER_MARK, mark_length) == 0) {
        memmove(line, line + mark_length, strlen(line + mark_length) + 1);
        emptied = line[0] == '\0';
    }
    if (strcmp(line, "\r") == 0) {
        line[0] = '\0';
        emptied = true;
    }
    if (emptied && status == TOKEN_NEWLINE) status = TOKEN_BLANK;
    return status;
}

transaction_t *read_transactions(FILE *fptr) {
    long stop_line = 0;
    return read_transactions_to_stop(fptr, &stop_line);
}

transaction_t *read_transactions_to_stop(FILE *fptr, long *stop_line) {
    transaction_t *head = nullptr, *tail = nullptr;
    newlines_read = 0;
    *stop_line = 0;
    for (bool first_token = true; *stop_line == 0; first_token = false) {
        char *line = static_cast<char *>(malloc(TOKEN_SIZE));
        if (line == nullptr) exit_out_of_memory();
        // Separators were taken with the empty tokens of earlier rounds, so
        // this token starts a record.
        const long record_line = newlines_read + 1;
        int status = read_keyword(fptr, line, first_token);
        bool stopped = true;
        if (status == TOKEN_BLANK) {
            stopped = !read_record(fptr, line, &head, &tail);
        } else if (status == TOKEN_TOO_LONG) {
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

FILE *open_transaction_file(const char *filename) {
    return fopen(filename, "r");
}

transaction_t *parse_transaction_file(const char *filename, bool *cut_short) {
    if (cut_short != nullptr) *cut_short = false;
    FILE *fptr = open_transaction_file(filename);
    if (fptr == nullptr) {
        const int reason = errno;
        printf("File %s could not be opened\n", filename);
        report_file_error("bank", filename, reason);
        return nullptr;
    }
    errno = 0;
    long stop_line = 0;
    transaction_t *list = read_transactions_to_stop(fptr, &stop_line);
    if (ferror(fptr)) {
        // A read error looks like the end of the file to the reader: the
        // list would silently miss the rest of the file, so none is returned.
        const int reason = errno != 0 ? errno : EIO;
        printf("File %s could not be read\n", filename);
        report_file_error("bank", filename, reason);
        while (list != nullptr) {
            transaction_t *next = list->next;
            free(list);
            list = next;
        }
    } else if (list != nullptr && stop_line != 0) {
        // The records before the stop are applied; the run must not pass for
        // one that applied the whole file.
        fprintf(stderr,
                "bank: %s, line %ld: reading stopped at this record; the rest of the file was "
                "not applied\n",
                filename, stop_line);
        if (cut_short != nullptr) *cut_short = true;
    }
    fclose(fptr);
    return list;
}
