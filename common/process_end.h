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
