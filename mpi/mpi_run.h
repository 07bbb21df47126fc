// The start and the end that the MPI programs share.
#pragma once

// MPI_Init, then the check against a launcher of another MPI (which ends the
// process when it finds one). Call after the program has answered --help and
// --version and checked its arguments: those need no MPI.
void start_ranks();

// Lets the lines printed so far leave, then MPI_Finalize; returns the exit
// status of the rank: status, or 1 when a rank log record was lost. Printed
// lines leave before MPI_Finalize because a rank that ends with status 1
// afterwards makes the launcher stop the others.
int end_ranks(int status);
