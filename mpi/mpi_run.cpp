#include "mpi_run.h"

#include <mpi.h>

#include "launch_check.h"
#include "process_end.h"
#include "rank_log.h"

void start_ranks() {
    ignore_file_size_signal();
    MPI_Init(nullptr, nullptr);
    refuse_foreign_launcher();
}

int end_ranks(const char* program, int status) {
    flush_standard_output();
    MPI_Finalize();
    return close_standard_output(program, rank_log_records_lost() ? 1 : status);
}
