// The one patch job and the console operations every part of the program uses.
#pragma once

#include <cstdint>
#include <cstdio>

#include "format/trailer.h"

// Fixed sizes of the job's text buffers, terminator included.
constexpr std::size_t kPathCapacity = 2048;
constexpr std::size_t kTitleCapacity = 256;

// Where the new file is written until it is complete.
struct PendingOutput {
  char final_path[kPathCapacity];           // the file that is replaced at the end
  char temporary_path[kPathCapacity + 64];  // a new file in the same folder
  bool in_place;                            // the destination is a device or pipe
  unsigned mode;                            // permissions the new file gets (POSIX)
};

// State of the single patch job, alive from start-up until the process ends.
struct PatchJob {
  const char* patch_name;
  FILE* patch_stream;
  const char* new_name;       // the trailer's new-file name, later the chosen path
  const char* original_name;  // the trailer's original-file name, later the chosen path
  FILE* original_stream;
  FILE* new_stream;
  std::int32_t expected_original_size;  // 0 means the size is not checked
  std::uint32_t data_end;               // offset at which the trailer begins
  char trailer[kTrailerCapacity];       // the trailer text; names point into it
  char original_path[kPathCapacity];
  char new_path[kPathCapacity];
  PendingOutput output;
};

// Writes one message; `text` (when given) replaces the single "%s" of `format`.
void show_message(const char* format, const char* text = nullptr);

// Writes the message, waits for one character and ends the process with status 1.
[[noreturn]] void fail_and_exit(const char* format, const char* text = nullptr);

// `text` with control characters shown as \xHH, so that a name taken from a patch cannot
// drive the terminal. The result lives in one static buffer until the next call.
const char* printable(const char* text);

// Reads and ignores one character of standard input; returns at once at end of input.
void wait_for_key();

// Ends the process with status 1, the status of every way out of the program.
[[noreturn]] void exit_program();

// Sleeps the calling thread. Tests link their own version to record the pauses.
void pause_ms(unsigned milliseconds);

// True when standard output is a console, so messages are flushed as they are written.
bool stdout_is_terminal();

// True when standard input is a console rather than a file or pipe.
bool stdin_is_terminal();

// The whole program: start-up, trailer, file selection, patching, completion.
[[noreturn]] void run_patcher();
