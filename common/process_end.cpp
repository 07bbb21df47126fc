#include "process_end.h"

#include <cstdio>
#include <cstdlib>

void end_process(int status) {
    flockfile(stdout);
    std::fflush(stdout);
    std::exit(status);
}

void exit_out_of_memory() {
    flockfile(stdout);
    std::fflush(stdout);
    std::fputs("Memory could not be allocated, exiting\n", stderr);
    std::exit(1);
}
