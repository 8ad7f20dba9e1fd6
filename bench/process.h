// Running the tools the benchmark compares, and timing them.
#pragma once

#include <string>
#include <vector>

struct RunResult {
  int status;          // exit status, or -1 when the process could not start or was killed
  double seconds;      // wall time from start to exit
  double cpu_seconds;  // user and system time of the child
  long peak_rss_kib;   // the child's peak resident memory
};

// Runs `argv` with standard input and output on /dev/null (standard error kept when
// `show_errors`), waits for it and measures it.
RunResult run_command(const std::vector<std::string>& argv, bool show_errors);

// True when `name` is a program on PATH.
bool have_program(const std::string& name);
