// The start and the end that the MPI programs share.
#pragma once

// MPI_Init, then the check against a launcher of another MPI (which ends the
// process when it finds one). Call after the program has answered --help and
// --version and checked its arguments: those need no MPI. A file-size limit
// makes a log write fail rather than kill the rank (ignore_file_size_signal).
void start_ranks();

// Lets the lines printed so far leave, then MPI_Finalize; returns the exit
// status of the rank: status, or 1 when a rank log record was lost or
// standard output lost a write (close_standard_output, which names program).
// Printed lines leave before MPI_Finalize because a rank that ends with
// status 1 afterwards makes the launcher stop the others.
int end_ranks(const char* program, int status);
