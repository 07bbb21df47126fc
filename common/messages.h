// Messages on standard error that several programs print the same way.
#pragma once

// "Try '<prog_name> --help' for more information.", printed after a usage line.
void print_help_hint(const char *prog_name);

// "<program>: <file name>: <reason as strerror gives it>", printed beside a
// program's own message about a file it could not open or read, which does
// not say why.
void report_file_error(const char *program, const char *file_name, int reason);
