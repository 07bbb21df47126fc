// greetings: every rank logs a greeting naming its rank and the number of
// ranks and sends it to rank 0, which prints its own and then every other
// rank's, in rank order.
#include "mpi_run.h"
#include "process_end.h"
#include "program_info.h"
#include "rank_log.h"

#include <mpi.h>

#include <cstdio>
#include <cstring>

extern const char log_name_pattern[] = "greetings_p%d.log";

namespace {
constexpr int greeting_size = 100;  // the longest greeting needs 51 bytes

const program_info greetings_info = {
    "greetings", "",
    "Run under the MPI launcher (mpirun -np N greetings). Every rank sends a\n"
    "greeting to rank 0, which prints them in rank order. Takes no arguments.\n"
    "\n"
    "Log files: rank R appends its greeting to greetings_pR.log in the working\n"
    "directory.\n",
    "docs/mpi.md"};
}  // namespace

int main(int argc, char* argv[]) {
    if (answer_info_request(argc, argv, greetings_info))
        return close_standard_output(greetings_info.name, 0);
    start_ranks();
    int size = 1;
    int rank = 0;
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);

    char greeting[greeting_size];
    snprintf(greeting, sizeof greeting, "Greetings from process %d of %d!", rank, size);
    log_msg(greeting);

    if (rank != 0) {
        MPI_Send(greeting, static_cast<int>(strlen(greeting)) + 1, MPI_CHAR, 0, 0, MPI_COMM_WORLD);
    } else {
        printf("%s\n", greeting);
        for (int source = 1; source < size; ++source) {
            MPI_Recv(greeting, greeting_size, MPI_CHAR, source, 0, MPI_COMM_WORLD,
                     MPI_STATUS_IGNORE);
            greeting[greeting_size - 1] = '\0';
            printf("%s\n", greeting);
        }
    }
    return end_ranks(greetings_info.name, 0);
}
