#include "parser.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "logger.h"

int to_int_saturated(const char *text) {
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

int read_string(FILE *fptr, char *line) {
    int length = 0;
    for (;;) {
        int c = fgetc(fptr);
        int status;
        if (c == EOF)
            status = TOKEN_END;
        else if (c == ' ')
            status = TOKEN_BLANK;
        else if (c == '\n')
            status = length == 0 ? TOKEN_BLANK : TOKEN_NEWLINE;
        else if (length == TOKEN_SIZE - 1)
            status = TOKEN_TOO_LONG;
        else {
            line[length++] = static_cast<char>(c);
            continue;
        }
        line[length] = '\0';
        return status;
    }
}

// Reads the next operand into line; false when it is too long for it.
static bool read_operand(FILE *fptr, char *line) {
    return read_string(fptr, line) != TOKEN_TOO_LONG;
}

static bool read_account(FILE *fptr, char *line, int *account) {
    if (!read_operand(fptr, line)) return false;
    *account = to_int_saturated(line);
    return true;
}

static bool read_amount(FILE *fptr, char *line, double *amount) {
    if (!read_operand(fptr, line)) return false;
    *amount = strtod(line, nullptr);
    return true;
}

bool read_deposit(FILE *fptr, char *line, int *acc_dest, double *amount) {
    if (!read_account(fptr, line, acc_dest) || !read_amount(fptr, line, amount)) return false;
    printf("deposit %d %f \n", *acc_dest, *amount);
    return true;
}

bool read_withdrawal(FILE *fptr, char *line, int *acc_src, double *amount) {
    if (!read_account(fptr, line, acc_src) || !read_amount(fptr, line, amount)) return false;
    printf("withdraw %d %f \n", *acc_src, *amount);
    return true;
}

bool read_transfer(FILE *fptr, char *line, int *acc_src, int *acc_dest, double *amount) {
    if (!read_account(fptr, line, acc_src) || !read_account(fptr, line, acc_dest) ||
        !read_amount(fptr, line, amount))
        return false;
    printf("transfer %d %d %f \n", *acc_src, *acc_dest, *amount);
    return true;
}

bool read_balance(FILE *fptr, char *line, int *acc_src) {
    if (!read_account(fptr, line, acc_src)) return false;
    printf("balance %d \n", *acc_src);
    return true;
}

static bool is_keyword(const char *word) {
    return strcmp(word, "deposit") == 0 || strcmp(word, "withdrawal") == 0 ||
           strcmp(word, "transfer") == 0 || strcmp(word, "balance") == 0;
}

static void report_unknown_type(const char *keyword) {
    printf(COLOR_RED "Error: uknown transaction type: %s\n" COLOR_RESET, keyword);
}

static void report_long_token() {
    printf(COLOR_RED "Error: token longer than 63 characters\n" COLOR_RESET);
}

// Reads the operands of the record whose keyword, ended by a blank, is in
// line and links the record behind *tail. The load operations are handed the
// last node rather than the head, so appending costs the same however long
// the list is. Returns false when reading must stop.
static bool read_record(FILE *fptr, char *line, transaction_t **head, transaction_t **tail) {
    int src = 0, dest = 0;
    double amount = 0.0;
    bool complete = true;
    transaction_t *start = *tail;
    if (strcmp(line, "deposit") == 0) {
        complete = read_deposit(fptr, line, &dest, &amount);
        if (complete) start = load_deposit(TYPE_DEPOSIT, dest, amount, start);
    } else if (strcmp(line, "withdrawal") == 0) {
        complete = read_withdrawal(fptr, line, &src, &amount);
        if (complete) start = load_withdrawal(TYPE_WITHDRAWAL, src, amount, start);
    } else if (strcmp(line, "transfer") == 0) {
        complete = read_transfer(fptr, line, &src, &dest, &amount);
        if (complete) start = load_transfer(TYPE_TRANSFER, src, dest, amount, start);
    } else if (strcmp(line, "balance") == 0) {
        complete = read_balance(fptr, line, &src);
        if (complete) start = load_balance(TYPE_BALANCE, src, start);
    } else if (line[0] == '\0') {
        return true;  // a blank line or an extra blank
    } else {
        report_unknown_type(line);
        return false;
    }
    if (!complete) {
        report_long_token();
        return false;
    }
    // start is the old last node, or the new node when the list was empty.
    *tail = *tail == nullptr ? start : (*tail)->next;
    if (*head == nullptr) *head = *tail;
    return true;
}

transaction_t *read_transactions(FILE *fptr) {
    transaction_t *head = nullptr, *tail = nullptr;
    bool reading = true;
    while (reading) {
        char *line = static_cast<char *>(malloc(TOKEN_SIZE));
        if (line == nullptr) exit_out_of_memory();
        int status = read_string(fptr, line);
        if (status == TOKEN_BLANK) {
            reading = read_record(fptr, line, &head, &tail);
        } else {
            // A keyword ended by a newline or by the end of the stream ends
            // reading; only the end of the stream after a record is silent.
            reading = false;
            if (status == TOKEN_TOO_LONG)
                report_long_token();
            else if (is_keyword(line))
                printf(COLOR_RED "Error: incomplete transaction: %s\n" COLOR_RESET, line);
            else if (line[0] != '\0')
                report_unknown_type(line);
        }
        free(line);
    }
    return head;
}

FILE *open_transaction_file(const char *filename) {
    return fopen(filename, "r");
}

transaction_t *parse_transaction_file(const char *filename) {
    FILE *fptr = open_transaction_file(filename);
    if (fptr == nullptr) {
        printf("File %s could not be opened\n", filename);
        return nullptr;
    }
    transaction_t *list = read_transactions(fptr);
    if (ferror(fptr)) {
        // A read error looks like the end of the file to the reader: the
        // list would silently miss the rest of the file, so none is returned.
        printf("File %s could not be read\n", filename);
        while (list != nullptr) {
            transaction_t *next = list->next;
            free(list);
            list = next;
        }
    }
    fclose(fptr);
    return list;
}
