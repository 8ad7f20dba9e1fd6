// The console front end: the program's messages, waits and exit, and its story.
#pragma once

#include "engine/patch_job.h"

// Writes one message; `text` (when given) replaces the first "%s" of `format`, with its
// control characters shown as \xHH, and `reason` the second, in a format that has one.
void show_message(const char* format, const char* text = nullptr, const char* reason = nullptr);

// Writes the message, waits for one character and ends the process with status 1.
[[noreturn]] void fail_and_exit(const char* format, const char* text = nullptr,
                                const char* reason = nullptr);

// Reads and ignores one character of standard input; returns at once at end of input.
void wait_for_key();

// Removes an unfinished new file and ends the process with status 1, the status of every
// way out of the program.
[[noreturn]] void exit_program();

// Asks until the original file is open in `job`; the chosen path is left in `path`
// (capacity kPathCapacity).
void select_original_file(PatchJob* job, const char* suggested_name, char* path);

// Asks until the new file can be written at the chosen place; the chosen path is left
// in `path`.
void select_new_file(PatchJob* job, const char* suggested_name, char* path);

// Sets up the console before the first message: on POSIX a closed standard output does
// not end the run; on Windows the console shows names in the code page that the dialogs
// and the file system use.
void prepare_console();

// The whole program: start-up, trailer, file selection, patching, completion.
[[noreturn]] void run_patcher();
