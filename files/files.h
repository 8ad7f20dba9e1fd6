// File access the engine needs beyond plain streams: 64-bit positions, reads at an
// offset, the identity of a file, and opening without waiting.
#pragma once

#include <cstdint>
#include <cstdio>

// 64-bit positioning that works past 2 GiB on every platform.
bool seek_to(FILE* stream, std::uint64_t offset);
std::int64_t stream_size(FILE* stream);  // -1 when it cannot be told; position is kept

// Reads up to `count` bytes of `stream` at `offset` into `bytes`; fewer only where the
// file ends or a read fails. The stream's position afterwards may be anywhere.
std::size_t read_at(FILE* stream, std::uint64_t offset, unsigned char* bytes, std::size_t count);

// Asks the system to back `size` bytes of memory from `bytes` with large pages where it
// can, from their first use on: a buffer of many megabytes then costs a few page faults,
// not one per 4 KiB, which in a virtual machine can take longer than filling the page.
void prefer_large_pages(void* bytes, std::size_t size);

// Writes what was written to `stream`'s file through to the disk; true when that worked,
// and for a pipe or device, which cannot be and need not be.
bool flush_to_disk(FILE* stream);

// True when `path` names the same file as the open `stream`, by any name.
bool is_same_file(const char* path, FILE* stream);

// Open `path` for binary reading, or for writing in place (an existing file, not
// truncated), without waiting: opening a FIFO would otherwise block until the other end
// is opened, for ever if nobody does. Reading a FIFO with no writer opens; writing one
// with no reader fails. Null on failure.
FILE* open_for_reading(const char* path);
FILE* open_for_writing_in_place(const char* path);

// The system's code for the last failed call (errno; GetLastError on Windows), and its
// text, without a line end, in `text`; returns `text`.
int last_system_error();
const char* describe_system_error(int code, char* text, std::size_t capacity);

// True when `stream` is a regular file (a disk file on Windows), which can be read at
// any offset and never waits for another program.
bool is_regular_file(FILE* stream);

// Opens the null device on each of standard input, output and error that is closed (a
// missing standard handle on Windows), so that no file opened later takes its number:
// a patch opened as standard input would answer the program's own questions. Called at
// start, before anything is opened; false when a closed one could not be opened.
bool open_missing_standard_streams();
