// Refusing a launch by another MPI's launcher. A launcher of one MPI starting
// a program built with another gives every process a world of its own: each
// rank runs as rank 0 of 1 and the job "succeeds". The launchers tell their
// processes the size of the job in the environment, which the programs compare
// with MPI_Comm_size right after MPI_Init.
#pragma once

// The job size a launcher announced in the environment, and the variable that
// said it ("OMPI_COMM_WORLD_SIZE=4"); size 0 and an empty text when none did.
struct launcher_world {
    int size;
    char variable[64];
};

// Reads, first found first: OMPI_COMM_WORLD_SIZE (Open MPI's mpirun), PMI_SIZE
// (Hydra, MPICH's launcher; Slurm's srun --mpi=pmi2), SLURM_STEP_NUM_TASKS
// (any srun step). The launcher nearest the process comes first: an mpirun
// inside a Slurm allocation leaves the allocation's variables in place.
launcher_world launcher_world_from_env();

// True when the announced size is that of the srun step the process runs in:
// srun started it.
bool started_by_srun(const launcher_world& world);

// Call right after MPI_Init. When the launcher announced more than one process
// but MPI_COMM_WORLD has one, writes one line on stderr naming what was seen
// (and, when srun started it, a second line naming srun's --mpi plugin as a
// possible cause), calls MPI_Finalize and exits with status 1 (every process
// is its own world, so each ends alone). Returns otherwise.
void refuse_foreign_launcher();
