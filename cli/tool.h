// The quorvalex command line: its commands and what they share. Every command returns
// the exit status: 0 on success, 1 on a failure (told on standard error) or a "no".
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct PatchJob;

// The arguments that follow the command, taken apart.
struct ToolLine {
  const char* operands[3];
  int operand_count;
  const char* original_name;  // null: the original's base name
  const char* new_name;       // null: the new file's base name
  bool force;                 // replace an existing output file
};

int create_patch(const ToolLine& line);
int apply_patch_file(const ToolLine& line);
int check_original(const ToolLine& line);
int show_patch_info(const ToolLine& line);

// "quorvalex: MESSAGE" on standard error; returns 1.
int fail(const std::string& message);

std::string quoted(const char* path);
std::string system_reason(int code);

// Opens `path` for reading as a regular file; null, with the reason in `problem`, when it
// cannot be.
FILE* open_input(const char* path, std::string* problem);

// Runs `run` on a patch job of its own, closed afterwards; "not enough memory" when there
// is no room for one.
int run_with_job(const ToolLine& line, int (*run)(const ToolLine& line, PatchJob* job));

// Opens the patch through the engine and reads its trailer. Empty when it is a patch,
// otherwise what is wrong.
std::string open_valid_patch(PatchJob* job, const char* path);

// Opens the original through the engine. Empty when it can be read, otherwise why not.
std::string open_job_original(PatchJob* job, const char* path);

// A phase and its percentage on standard error, rewritten in place whenever either
// changes; only where standard error is a terminal.
struct ProgressLine {
  bool shown;
  const char* phase;
  int percent;
};

void show_progress(void* line, const char* phase, double fraction);
void clear_progress(ProgressLine* line);
