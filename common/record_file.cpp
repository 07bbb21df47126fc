#include "record_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

// The stream of a record writes through this sink, which counts the bytes
// that reach the file, so that a failed record can be cut off exactly.
// Several processes may append to one file at a time (two jobs in one
// folder): with O_APPEND, each write lands at the end of the file as it is
// then, and the file offset after a write tells where the bytes of this
// process end. A writer whose record succeeds takes no lock; failing writers
// check and cut one at a time under an advisory lock, so that one of them
// never cuts to a size that another has already cut below.
struct record_sink {
    int fd;
    bool regular;  // only a regular file can be cut
    dev_t device;  // the file, to find it again after a failed close
    ino_t inode;
    off_t size_at_open;  // the file's size when it was opened
    off_t written;       // bytes of this record in the file
    bool split;          // those bytes are not one run: another writer came between
    int reason;          // why the record failed (0: it has not)
    int* reason_out;     // where the close tells close_record_file the reason
    char* name;
};

namespace {

bool could_block(mode_t mode) { return S_ISFIFO(mode) || S_ISSOCK(mode); }

ssize_t sink_write(void* cookie, const char* data, size_t size) {
    record_sink* sink = static_cast<record_sink*>(cookie);
    size_t done = 0;
    while (sink->reason == 0 && done < size) {
        // A second write (a short write retried, a record longer than the
        // stream's buffer) joins the first only if it starts where that ended.
        off_t run_end = -1;
        if (sink->regular && sink->written > 0) {
            run_end = lseek(sink->fd, 0, SEEK_CUR);
            if (run_end < 0) sink->split = true;
        }
        const ssize_t n = write(sink->fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            sink->reason = n < 0 ? errno : EIO;
            break;
        }
        if (run_end >= 0) {
            const off_t end = lseek(sink->fd, 0, SEEK_CUR);
            if (end < 0 || end - n != run_end) sink->split = true;
        }
        sink->written += n;
        done += static_cast<size_t>(n);
    }
    if (sink->reason != 0) {
        errno = sink->reason;
        return -1;
    }
    return static_cast<ssize_t>(size);
}

// Cuts the file of fd back to keep, when it is still size_now long; under
// the lock of the failing writers. Nothing more can be done when a call
// fails: the record is reported lost either way.
void cut_if_size_is(int fd, off_t size_now, off_t keep) {
    const bool locked = flock(fd, LOCK_EX) == 0;
    struct stat status;
    if (fstat(fd, &status) == 0 && status.st_size == size_now && keep < size_now &&
        ftruncate(fd, keep) != 0) {
        // As above.
    }
    if (locked) flock(fd, LOCK_UN);
}

// A failed write: the bytes written are cut off if they still end the file
// (the fd's offset is the end of the last bytes written through it).
void cut_failed_write(const record_sink* sink) {
    if (!sink->regular || sink->written == 0 || sink->split) return;
    const off_t end = lseek(sink->fd, 0, SEEK_CUR);
    if (end >= sink->written) cut_if_size_is(sink->fd, end, end - sink->written);
}

// A failed close after a record written whole: the file is opened again by
// name and cut when no other writer has appended since it was opened.
void cut_after_failed_close(const record_sink* sink) {
    if (!sink->regular || sink->written == 0 || sink->split) return;
    const int fd = open(sink->name, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat status;
    if (fstat(fd, &status) == 0 && status.st_dev == sink->device && status.st_ino == sink->inode)
        cut_if_size_is(fd, sink->size_at_open + sink->written, sink->size_at_open);
    close(fd);
}

int sink_close(void* cookie) {
    record_sink* sink = static_cast<record_sink*>(cookie);
    int reason = sink->reason;
    if (reason != 0) cut_failed_write(sink);
    if (close(sink->fd) != 0 && reason == 0) {
        reason = errno != 0 ? errno : EIO;
        cut_after_failed_close(sink);
    }
    if (sink->reason_out != nullptr) *sink->reason_out = reason;
    free(sink);
    if (reason == 0) return 0;
    errno = reason;
    return -1;
}

}  // namespace

const char* record_file_reason(int reason) {
    if (reason == RECORD_FILE_WOULD_BLOCK)
        return "Is a FIFO or socket, not a regular file; writing to it could block";
    return strerror(reason);
}

FILE* open_record_file(const char* name, record_sink** sink, int* reason) {
    // Without O_NONBLOCK, opening a FIFO that no process reads waits forever.
    const int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    struct stat status;
    if (fd < 0) {
        *reason = errno;
        if (*reason == ENXIO && stat(name, &status) == 0 && could_block(status.st_mode))
            *reason = RECORD_FILE_WOULD_BLOCK;
        return nullptr;
    }
    if (fstat(fd, &status) != 0) {
        *reason = errno;
        close(fd);
        return nullptr;
    }
    if (could_block(status.st_mode)) {
        *reason = RECORD_FILE_WOULD_BLOCK;
        close(fd);
        return nullptr;
    }
    // O_NONBLOCK changes nothing for a regular file; a device writes as before.
    if (!S_ISREG(status.st_mode)) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const size_t name_size = strlen(name) + 1;
    record_sink* opened = static_cast<record_sink*>(malloc(sizeof(record_sink) + name_size));
    if (opened == nullptr) {
        *reason = ENOMEM;
        close(fd);
        return nullptr;
    }
    *opened = record_sink{fd,
                          S_ISREG(status.st_mode),
                          status.st_dev,
                          status.st_ino,
                          status.st_size,
                          0,
                          false,
                          0,
                          nullptr,
                          reinterpret_cast<char*>(opened + 1)};
    memcpy(opened->name, name, name_size);
    const cookie_io_functions_t functions = {nullptr, sink_write, nullptr, sink_close};
    FILE* stream = fopencookie(opened, "w", functions);
    if (stream == nullptr) {
        *reason = errno;
        free(opened);
        close(fd);
        return nullptr;
    }
    *sink = opened;
    return stream;
}

bool close_record_file(FILE* stream, record_sink* sink, int* reason) {
    // An error of the stream that its writes did not see (formatting) spoils
    // the record as well: nothing more is written, and what was is cut off.
    const int earlier = errno;
    if (ferror(stream) && sink->reason == 0) sink->reason = earlier != 0 ? earlier : EIO;
    int failure = 0;
    sink->reason_out = &failure;
    errno = 0;
    if (fclose(stream) == 0 && failure == 0) return true;
    *reason = failure != 0 ? failure : errno != 0 ? errno : EIO;
    return false;
}
