// Preloaded (LD_PRELOAD) into the ranks of the cluster tests; wraps MPI_Init
// through the profiling interface. After MPI_Init a rank
//  - writes its host name to <PL_PROBE_HOSTS>/rank<rank>, when set;
//  - stops for good, when its rank is PL_PROBE_HOLD_RANK: it writes its PID to
//    the file PL_PROBE_HOLD_FILE and waits there to be killed, while the other
//    ranks go on and wait for it in MPI. Only the first such rank to create
//    the file holds, so later job steps of the same job run through.
// It also wraps MPI_Finalize, whose fence must hold every rank until all have
// come: when PL_PROBE_FINALIZE is set, rank PL_PROBE_LATE_RANK
// comes one second late, and each rank writes the wall-clock times (ns) at
// which it entered and left to <PL_PROBE_FINALIZE>/<program>.finalize<rank>.
#include <mpi.h>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void record_host(int rank) {
    const char* dir = getenv("PL_PROBE_HOSTS");
    if (dir == nullptr) return;
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const std::string path = std::string(dir) + "/rank" + std::to_string(rank);
    if (FILE* out = fopen(path.c_str(), "w")) {
        fprintf(out, "%s\n", host);
        fclose(out);
    }
}

void hold_if_chosen(int rank) {
    const char* chosen = getenv("PL_PROBE_HOLD_RANK");
    const char* file = getenv("PL_PROBE_HOLD_FILE");
    if (chosen == nullptr || file == nullptr || atoi(chosen) != rank) return;
    const int fd = open(file, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) return;
    const std::string pid = std::to_string(getpid()) + "\n";
    const bool written = write(fd, pid.data(), pid.size()) == static_cast<ssize_t>(pid.size());
    close(fd);
    if (!written) return;
    for (;;) pause();
}

long long wall_clock_ns() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

}  // namespace

extern "C" int MPI_Init(int* argc, char*** argv) {
    const int result = PMPI_Init(argc, argv);
    int rank = 0;
    PMPI_Comm_rank(MPI_COMM_WORLD, &rank);
    record_host(rank);
    hold_if_chosen(rank);
    return result;
}

extern "C" int MPI_Finalize() {
    const char* dir = getenv("PL_PROBE_FINALIZE");
    if (dir == nullptr) return PMPI_Finalize();
    int rank = 0;
    PMPI_Comm_rank(MPI_COMM_WORLD, &rank);
    const char* late = getenv("PL_PROBE_LATE_RANK");
    if (late != nullptr && atoi(late) == rank) sleep(1);
    const long long entered = wall_clock_ns();
    const int result = PMPI_Finalize();
    const long long left = wall_clock_ns();
    const std::string path =
        std::string(dir) + "/" + program_invocation_short_name + ".finalize" + std::to_string(rank);
    if (FILE* out = fopen(path.c_str(), "w")) {
        fprintf(out, "%lld %lld\n", entered, left);
        fclose(out);
    }
    return result;
}
