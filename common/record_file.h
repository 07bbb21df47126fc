// Log files written one record at a time (open, write, close), so that a
// record is in its file whole or not at all, and so that a log file that is
// no file at all (a FIFO) cannot stop the program.
#pragma once

#include <cstdio>

#include <sys/types.h>

// Reason given when a log file is a FIFO or a socket: opening or writing it
// could wait for a reader forever.
constexpr int RECORD_FILE_WOULD_BLOCK = -1;

// The text for a reason of the operations below: strerror's, or the refusal
// of a FIFO or socket.
const char* record_file_reason(int reason);

// Opens name for appending, as fopen(name, "a") does (created when missing,
// never truncated), but without ever waiting: a FIFO or socket is refused.
// Character devices (/dev/null, /dev/full) open as before. Stores the file's
// size before the record in *size_before (-1 for a device). Returns null with
// *reason set when it cannot open the file.
FILE* open_record_file(const char* name, off_t* size_before, int* reason);

// Flushes and closes a stream of open_record_file. When the record did not
// reach the file whole (an error on the stream, a failed flush or close), the
// file is cut back to size_before, so no part of the record stays in it, and
// false is returned with *reason set. A size_before of -1 cuts nothing.
bool close_record_file(FILE* stream, const char* name, off_t size_before, int* reason);
