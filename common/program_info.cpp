#include "program_info.h"

#include <cstdio>
#include <cstring>

// PARALLEL_LABS_VERSION is the project's version, set by the build.

static void print_help(const program_info& info) {
    printf("usage: %s%s%s\n\n", info.name, info.arguments[0] != '\0' ? " " : "", info.arguments);
    fputs(info.description, stdout);
    printf(
        "\n"
        "  --help     print this text and exit\n"
        "  --version  print the version and exit\n\n"
        "Documents: README.md and %s, in share/doc/parallel-labs/\n"
        "of the install (/usr/share/doc/parallel-labs/ from the Debian package) and in\n"
        "the source tree.\n",
        info.document);
}

bool answer_info_request(int argc, char* argv[], const program_info& info) {
    if (argc < 2) return false;
    if (strcmp(argv[1], "--help") == 0)
        print_help(info);
    else if (strcmp(argv[1], "--version") == 0)
        printf("%s (Parallel labs) %s\n", info.name, PARALLEL_LABS_VERSION);
    else
        return false;
    fflush(stdout);
    return true;
}
