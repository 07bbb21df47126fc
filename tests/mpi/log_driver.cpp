// Calls every rank log operation once on each rank, with the message given as
// the first argument (none: an empty message), then rank 0 prints "done".
#include "rank_log.h"

#include <mpi.h>

#include <cstdio>

extern const char log_name_pattern[] = "driver_p%d.log";

int main(int argc, char* argv[]) {
    MPI_Init(nullptr, nullptr);
    log_send();
    log_recv();
    log_bcast();
    log_reduce();
    log_allreduce();
    log_scatter();
    log_gather();
    log_allgather();
    log_msg(argc > 1 ? argv[1] : "");
    log_result(42);
    log_result(-5000000000LL);
    const int values[] = {4, -2, 9};
    log_vector(values, 3, "values");
    log_vector(values, 0, "none");
    FILE* log = rank_log_open();
    if (log != nullptr) {
        fprintf(log, "written directly\n");
        rank_log_close(log);
    }
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    if (rank == 0) printf("done\n");
    MPI_Finalize();
    return rank_log_records_lost() ? 1 : 0;
}
