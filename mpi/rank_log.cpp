#include "rank_log.h"

#include "record_file.h"

#include <mpi.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>

namespace {

bool records_lost = false;

// The stream rank_log_open handed out last and its sink, so that
// rank_log_close can take a record back that did not reach the file whole.
// A rank writes one record at a time.
FILE* open_stream = nullptr;
record_sink* open_sink = nullptr;

// Any pattern of ours with any 32-bit rank stays well below this.
constexpr std::size_t log_name_size = 64;

int world_rank() {
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    return rank;
}

// Appends "Proc <rank>: <text>\n"; a missing log file drops the record (the
// reason was already reported by rank_log_open).
void log_proc_record(const char* text) {
    const int rank = world_rank();
    FILE* log = rank_log_open();
    if (log == nullptr) return;
    fprintf(log, "Proc %d: %s\n", rank, text);
    rank_log_close(log);
}

// Writes the rank's log file name into name (log_name_size bytes).
void format_log_name(char* name) { snprintf(name, log_name_size, log_name_pattern, world_rank()); }

}  // namespace

bool rank_log_records_lost() { return records_lost; }

FILE* rank_log_open() {
    char* name = static_cast<char*>(malloc(log_name_size));
    if (name == nullptr) {
        fprintf(stderr, "Can't open log file: no memory for its name\n");
        return nullptr;
    }
    format_log_name(name);
    record_sink* sink = nullptr;
    int reason = 0;
    FILE* log = open_record_file(name, &sink, &reason);
    if (log == nullptr) {
        records_lost = true;
        fprintf(stderr, "Can't open log file %s: %s\n", name, record_file_reason(reason));
    } else {
        open_stream = log;
        open_sink = sink;
    }
    free(name);
    return log;
}

void rank_log_close(FILE* stream) {
    // The record reaches the file only when the buffer is flushed here. A
    // stream not of rank_log_open is closed as it is, its failure reported.
    int reason = 0;
    bool written = false;
    if (stream == open_stream) {
        open_stream = nullptr;
        written = close_record_file(stream, open_sink, &reason);
    } else {
        errno = 0;
        written = fclose(stream) == 0;
        reason = errno != 0 ? errno : EIO;
    }
    if (written) return;
    records_lost = true;
    char name[log_name_size];
    format_log_name(name);
    fprintf(stderr, "Can't write log file %s: %s\n", name, record_file_reason(reason));
}

void log_send() { log_proc_record("send a message"); }
void log_recv() { log_proc_record("received a message"); }
void log_bcast() { log_proc_record("called Bcast"); }
void log_reduce() { log_proc_record("called Reduce"); }
void log_allreduce() { log_proc_record("called Allreduce"); }
void log_scatter() { log_proc_record("called Scatter "); }
void log_gather() { log_proc_record("called Gather"); }
void log_allgather() { log_proc_record("called Allgather"); }
void log_msg(const char* message) { log_proc_record(message); }

void log_result(long long result) {
    FILE* log = rank_log_open();
    if (log == nullptr) return;
    fprintf(log, "The final result is %lld\n", result);
    rank_log_close(log);
}

void log_vector(const int* values, int count, const char* label) {
    FILE* log = rank_log_open();
    if (log == nullptr) return;
    fprintf(log, "%s: ", label);
    for (int i = 0; i < count; ++i) fprintf(log, "%d ", values[i]);
    fputc('\n', log);
    rank_log_close(log);
}
