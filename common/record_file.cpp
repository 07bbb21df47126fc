#include "record_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static bool could_block(mode_t mode) { return S_ISFIFO(mode) || S_ISSOCK(mode); }

const char* record_file_reason(int reason) {
    if (reason == RECORD_FILE_WOULD_BLOCK)
        return "Is a FIFO or socket, not a regular file; writing to it could block";
    return strerror(reason);
}

FILE* open_record_file(const char* name, off_t* size_before, int* reason) {
    // Without O_NONBLOCK, opening a FIFO that no process reads waits forever.
    int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    struct stat status;
    if (fd < 0) {
        *reason = errno;
        if (*reason == ENXIO && stat(name, &status) == 0 && could_block(status.st_mode))
            *reason = RECORD_FILE_WOULD_BLOCK;
        return nullptr;
    }
    if (fstat(fd, &status) != 0 || could_block(status.st_mode)) {
        *reason = could_block(status.st_mode) ? RECORD_FILE_WOULD_BLOCK : errno;
        close(fd);
        return nullptr;
    }
    if (S_ISREG(status.st_mode)) {
        *size_before = status.st_size;  // O_NONBLOCK changes nothing for a regular file
    } else {
        *size_before = -1;
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);  // a device writes as before
    }
    FILE* stream = fdopen(fd, "a");
    if (stream == nullptr) {
        *reason = errno;
        close(fd);
    }
    return stream;
}

bool close_record_file(FILE* stream, const char* name, off_t size_before, int* reason) {
    const int earlier = errno;  // what made a write on the stream fail, if one did
    errno = 0;
    const bool stream_failed = ferror(stream) != 0;
    if (stream_failed || fflush(stream) != 0) {
        *reason = stream_failed && earlier != 0 ? earlier : errno != 0 ? errno : EIO;
        if (size_before >= 0 && ftruncate(fileno(stream), size_before) != 0) {
            // Nothing more can be done for the file; the record is reported lost.
        }
        fclose(stream);
        return false;
    }
    if (fclose(stream) != 0) {
        *reason = errno != 0 ? errno : EIO;
        if (size_before >= 0 && truncate(name, size_before) != 0) {
            // As above.
        }
        return false;
    }
    return true;
}
