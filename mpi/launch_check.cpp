#include "launch_check.h"

#include <mpi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

launcher_world launcher_world_from_env() {
    static const char* const names[] = {"OMPI_COMM_WORLD_SIZE", "PMI_SIZE", "SLURM_STEP_NUM_TASKS"};
    launcher_world world{0, ""};
    for (const char* name : names) {
        const char* text = std::getenv(name);
        if (text == nullptr || *text == '\0') continue;
        errno = 0;
        char* end = nullptr;
        const long size = std::strtol(text, &end, 10);
        // A value that is not a plain positive count says nothing about the job.
        if (errno != 0 || *end != '\0' || size < 1 || size > 1000000000L) continue;
        world.size = static_cast<int>(size);
        std::snprintf(world.variable, sizeof world.variable, "%s=%ld", name, size);
        return world;
    }
    return world;
}

bool started_by_srun(const launcher_world& world) {
    // srun announces the job size as SLURM_STEP_NUM_TASKS; with --mpi=pmi2 it
    // sets PMI_SIZE as well, to the same size. A Hydra or Open MPI launcher
    // started inside a Slurm step gives a size of its own.
    const char* text = std::getenv("SLURM_STEP_NUM_TASKS");
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    const long size = std::strtol(text, &end, 10);
    return *end == '\0' && size == world.size;
}

void refuse_foreign_launcher() {
    int size = 0;
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    if (size != 1) return;
    const launcher_world world = launcher_world_from_env();
    if (world.size <= 1) return;

    // The library's own name: the first line of its version text.
    char library[MPI_MAX_LIBRARY_VERSION_STRING] = "";
    int length = 0;
    MPI_Get_library_version(library, &length);
    library[strcspn(library, "\r\n")] = '\0';
    for (char* c = library; *c != '\0'; ++c) {
        if (*c == '\t') *c = ' ';
    }
    fprintf(stderr,
            "Started by a launcher of another MPI than the one this program was built with: "
            "the launcher set %s, but %s sees a world of 1 process\n",
            world.variable, library);
    if (started_by_srun(world)) {
        fprintf(stderr,
                "Under srun, a possible cause is its --mpi plugin: an MPICH build needs "
                "--mpi=pmi2, an Open MPI build --mpi=pmix (srun --mpi=list shows them)\n");
    }
    fflush(stderr);
    MPI_Finalize();
    exit(1);
}
