// Ending a process from any of its threads.
#pragma once

// Ends the whole process, threads included, with status. Standard output is
// flushed first and stays locked, so no other thread can leave half a line
// behind.
[[noreturn]] void end_process(int status);

// Ends the process after a failed heap allocation: standard output flushed
// as end_process does, then "Memory could not be allocated, exiting" on
// stderr, status 1.
[[noreturn]] void exit_out_of_memory();

// fflush(stdout), keeping the reason of a failure for close_standard_output
// when other calls come in between (MPI_Finalize).
void flush_standard_output();

// The last word on standard output: flushes and closes it, and returns status
// when everything written to it arrived. When a write failed (a full disk,
// /dev/full, a closed descriptor), prints "<program>: write error: <reason>"
// on stderr and returns 1. Called once, after the program's last output;
// nothing may be printed on standard output afterwards.
int close_standard_output(const char* program, int status);

// A file-size limit (ulimit -f) makes a write beyond it fail with EFBIG, which
// the log code reports and cuts back, instead of killing the process with
// SIGXFSZ in the middle of a record.
void ignore_file_size_signal();
