// The new file: written beside its destination and moved over it only when complete, so
// that a failed run leaves the destination as it was.
#pragma once

#include <cstddef>
#include <cstdio>

// Room for a destination path and its terminating zero.
constexpr std::size_t kOutputPathCapacity = 4096;

// A new file being written, owned by the caller until it is committed or discarded.
struct PendingOutput {
  FILE* stream;                                   // null when nothing is pending
  char final_path[kOutputPathCapacity];           // the file that is replaced at the end
  char temporary_path[kOutputPathCapacity + 64];  // a new file in the same folder
  bool in_place;                                  // the destination is a device or pipe
  bool copy_into_place;  // renaming would change what the destination is: copy into it
  bool temporary_kept;   // the copy into the destination broke off: the complete new file
                         // stays at temporary_path, the one complete copy left
  unsigned mode;         // permissions the new file gets (POSIX)
};

// Opens the new file for writing. A regular file is written to a temporary file in the
// destination's folder and only moved over the destination by commit_new_file; a device
// or pipe is written in place. Returns the stream, or null when the destination cannot
// be written.
FILE* open_new_file(PendingOutput* output, const char* path);

// Flushes the new file to disk, closes it and moves it into place: renamed over the
// destination, or copied into it where renaming would change what the destination is or
// fails; a copy first reserves the new length in the destination. False on any error,
// with the system's code for it in `error`; the destination is then untouched and the
// temporary file removed, unless the copy broke off after it began to overwrite the
// destination: the temporary file is then kept (`temporary_kept`).
bool commit_new_file(PendingOutput* output, int* error);

// Closes and removes an unfinished new file, if there is one.
void discard_new_file(PendingOutput* output);
