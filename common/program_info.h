// --help and --version, the same way for every program of the project.
#pragma once

// What a program's help text says about it.
struct program_info {
    const char* name;         // the program's installed name
    const char* arguments;    // what follows the name on the usage line
    const char* description;  // what it does, its arguments and its log files; ends with a newline
    const char* document;     // its own document below docs/, such as "docs/bank.md"
};

// When the first argument is --help (or -h) or --version, prints the help
// text or the version line on standard output and returns true; the caller
// then ends with status 0 before anything else (no MPI start, no file read or
// written). Started by a parallel launcher as a rank other than 0, it prints
// nothing and returns true, so that the answer comes once. Otherwise returns
// false and prints nothing.
bool answer_info_request(int argc, char* argv[], const program_info& info);
