// Rank log: one-line records that a process appends to a text file of its own
// in the working directory, named after its rank in MPI_COMM_WORLD. Every record
// opens the file in append mode, writes one line and closes it again, so no
// stream stays open between records. Call only between MPI_Init and MPI_Finalize.
#pragma once

#include <cstdio>

// File name pattern with one "%d" for the rank; each program defines its own.
extern const char log_name_pattern[];

// Opens the caller's rank log file for appending. On failure writes one line
// naming the file and the reason to stderr and returns nullptr; a FIFO or
// socket in the file's place is refused so, rather than waited on.
FILE* rank_log_open();
// Closes the file; a record that could not be written whole (full disk, I/O
// error) is taken out of the file again, so the file keeps its size from
// before the record, and is reported on stderr like a file that cannot be
// opened.
void rank_log_close(FILE* stream);

// True once a record of this process was lost (reported on stderr). The
// programs then end with status 1 after MPI_Finalize, so that launchers and
// schedulers see it.
bool rank_log_records_lost();

// "Proc <rank>: ..." records.
void log_send();
void log_recv();
void log_bcast();
void log_reduce();
void log_allreduce();
void log_scatter();
void log_gather();
void log_allgather();
void log_msg(const char* message);

// Records without the rank (it is in the file name already).
void log_result(long long result);
void log_vector(const int* values, int count, const char* label);
