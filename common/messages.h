// Messages on standard error that several programs print the same way.
#pragma once

// "<lead> <prog_name> <arguments>\n": a program's usage line. Each program
// spells its own lead ("usage:" or "Usage:") and arguments, which stay as
// users and their scripts know them.
void print_usage_line(const char* lead, const char* prog_name, const char* arguments);

// "Try '<prog_name> --help' for more information.", printed after a usage line.
void print_help_hint(const char* prog_name);

// The usage line and the help hint, then the end of the process with status
// 1 (through end_process, so that it may be called from any thread).
[[noreturn]] void exit_with_usage(const char* lead, const char* prog_name, const char* arguments);

// "<program>: <file name>: <reason as strerror gives it>", printed beside a
// program's own message about a file it could not open or read, which does
// not say why.
void report_file_error(const char* program, const char* file_name, int reason);
