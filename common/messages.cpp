#include "messages.h"

#include <cstdio>
#include <cstring>

void print_help_hint(const char *prog_name) {
    fprintf(stderr, "Try '%s --help' for more information.\n", prog_name);
}

void report_file_error(const char *program, const char *file_name, int reason) {
    fprintf(stderr, "%s: %s: %s\n", program, file_name, strerror(reason));
}
