// sum_of_ranks: an all-reduce adds up the ranks of all processes; rank 0 logs
// the sum and prints it. The sum is 64-bit: n ranks add up to n(n-1)/2, which
// passes the 32-bit range beyond 65,536 ranks.
#include "mpi_run.h"
#include "process_end.h"
#include "program_info.h"
#include "rank_log.h"

#include <mpi.h>

#include <cstdio>

extern const char log_name_pattern[] = "sum_of_ranks%d.log";

static const program_info sum_of_ranks_info = {
    "sum_of_ranks", "",
    "Run under the MPI launcher (mpirun -np N sum_of_ranks). An all-reduce adds up\n"
    "the rank numbers; rank 0 prints the sum. Takes no arguments.\n"
    "\n"
    "Log files: rank 0 appends the sum to sum_of_ranks0.log in the working\n"
    "directory.\n",
    "docs/mpi.md"};

int main(int argc, char* argv[]) {
    if (answer_info_request(argc, argv, sum_of_ranks_info))
        return close_standard_output(sum_of_ranks_info.name, 0);
    start_ranks();
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);

    const long long contribution = rank;
    long long sum = 0;
    MPI_Allreduce(&contribution, &sum, 1, MPI_LONG_LONG, MPI_SUM, MPI_COMM_WORLD);

    if (rank == 0) {
        log_result(sum);
        printf("Process %d: the rank sum is: %lld \n ", rank, sum);
    }
    return end_ranks(sum_of_ranks_info.name, 0);
}
