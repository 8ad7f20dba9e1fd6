// Running the tools the benchmark compares, and timing them.
#pragma once

#include <string>
#include <vector>

struct RunResult {
  int status;      // exit status, or -1 when the process could not start or was killed
  double seconds;  // wall time from start to exit
  double user_seconds;
  double system_seconds;
  long peak_rss_kib;   // the child's peak resident memory (ru_maxrss)
  long peak_anon_kib;  // highest RssAnon seen while it ran: its private memory
};

// How to start a command: its folder and the file its standard input reads.
struct Launch {
  std::vector<std::string> argv;
  std::string folder = ".";
  std::string input = "/dev/null";
  bool show_errors = true;
};

// Runs the command with standard output on /dev/null and without a desktop session,
// waits for it and measures it. Private memory is sampled every millisecond.
RunResult run_command(const Launch& launch);

// True when `name` is a program on PATH.
bool have_program(const std::string& name);
