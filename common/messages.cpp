#include "messages.h"

#include <cstdio>
#include <cstring>

#include "process_end.h"

void print_usage_line(const char* lead, const char* prog_name, const char* arguments) {
    std::fprintf(stderr, "%s %s %s\n", lead, prog_name, arguments);
}

void print_help_hint(const char* prog_name) {
    std::fprintf(stderr, "Try '%s --help' for more information.\n", prog_name);
}

void exit_with_usage(const char* lead, const char* prog_name, const char* arguments) {
    print_usage_line(lead, prog_name, arguments);
    print_help_hint(prog_name);
    end_process(1);
}

void report_file_error(const char* program, const char* file_name, int reason) {
    std::fprintf(stderr, "%s: %s: %s\n", program, file_name, std::strerror(reason));
}
