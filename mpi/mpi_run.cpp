#include "mpi_run.h"

#include <mpi.h>

#include <cstdio>

#include "launch_check.h"
#include "rank_log.h"

void start_ranks() {
    MPI_Init(nullptr, nullptr);
    refuse_foreign_launcher();
}

int end_ranks(int status) {
    std::fflush(stdout);
    MPI_Finalize();
    return rank_log_records_lost() ? 1 : status;
}
