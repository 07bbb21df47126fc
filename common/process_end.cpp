#include "process_end.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

namespace {
// The reason of the last failed flush_standard_output, 0 when none failed.
int flush_failure = 0;
}  // namespace

void flush_standard_output() {
    if (std::fflush(stdout) != 0) flush_failure = errno;
}

int close_standard_output(const char* program, int status) {
    // A write that failed before this call left the error flag, and its
    // reason in errno when nothing has failed since (a failed flush right
    // before the return from main); the flush below usually fails the same
    // way when output is still waiting.
    const int earlier_reason = flush_failure != 0 ? flush_failure : errno;
    const bool failed_before = std::ferror(stdout) != 0;
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    int reason = flushed ? 0 : errno;
    // The close itself can fail (a file system that writes on close). A
    // descriptor that was closed from the start (EBADF) loses nothing when
    // nothing was written to it.
    errno = 0;
    if (std::fclose(stdout) != 0 && reason == 0 && (errno != EBADF || !flushed || failed_before))
        reason = errno;
    if (reason == 0 && !failed_before) return status;
    if (reason == 0) reason = earlier_reason;
    if (reason != 0)
        std::fprintf(stderr, "%s: write error: %s\n", program, std::strerror(reason));
    else
        std::fprintf(stderr, "%s: write error\n", program);
    return 1;
}

void ignore_file_size_signal() { std::signal(SIGXFSZ, SIG_IGN); }
