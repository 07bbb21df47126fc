// Log files written one record at a time (open, write, close), so that a
// record is in its file whole or not at all, and so that a log file that is
// no file at all (a FIFO) cannot stop the program.
#pragma once

#include <cstdio>

// Reason given when a log file is a FIFO or a socket: opening or writing it
// could wait for a reader forever.
constexpr int RECORD_FILE_WOULD_BLOCK = -1;

// What a stream of open_record_file knows about the bytes it put into its
// file; defined in record_file.cpp, freed when the stream is closed.
struct record_sink;

// The text for a reason of the operations below: strerror's, or the refusal
// of a FIFO or socket.
const char* record_file_reason(int reason);

// Opens name for appending, as fopen(name, "a") does (created when missing,
// never truncated), but without ever waiting: a FIFO or socket is refused.
// Character devices (/dev/null, /dev/full) open as before. Stores the
// stream's sink in *sink for close_record_file. Returns null with *reason set
// when it cannot open the file.
FILE* open_record_file(const char* name, record_sink** sink, int* reason);

// Flushes and closes a stream of open_record_file (fclose alone does the same
// but for the reason). When the record did not reach the file whole (an error
// on the stream, a failed write or close), the bytes of it that did are cut
// off again, and false is returned with *reason set. Only this record's own
// bytes are cut, and only while they still end the file: records that other
// processes appended in the meantime stay.
bool close_record_file(FILE* stream, record_sink* sink, int* reason);
