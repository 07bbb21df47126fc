#include "program_info.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

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

// The rank that a parallel launcher gave this process, from the variable that
// each sets: Open MPI's launcher, PMIx, MPICH's Hydra (PMI), and Slurm's task
// number last, since a launcher started inside a Slurm job hands the job's
// task number on to all its processes. -1 outside any launcher.
static long launcher_rank() {
    for (const char* name : {"OMPI_COMM_WORLD_RANK", "PMIX_RANK", "PMI_RANK", "SLURM_PROCID"}) {
        const char* value = getenv(name);
        if (value != nullptr && value[0] != '\0') return strtol(value, nullptr, 10);
    }
    return -1;
}

bool answer_info_request(int argc, char* argv[], const program_info& info) {
    if (argc < 2) return false;
    const bool help = strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0;
    // Under a launcher every rank is asked; rank 0 answers for them all.
    if ((help || strcmp(argv[1], "--version") == 0) && launcher_rank() > 0) return true;
    if (help)
        print_help(info);
    else if (strcmp(argv[1], "--version") == 0)
        printf("%s (Parallel labs) %s\n", info.name, PARALLEL_LABS_VERSION);
    else
        return false;
    fflush(stdout);
    return true;
}
