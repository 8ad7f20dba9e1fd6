#include "bench/process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

void redirect(int fd, const char* path, int flags) {
  int opened = open(path, flags);
  if (opened >= 0 && opened != fd) {
    dup2(opened, fd);
    close(opened);
  }
}

bool wait_for(pid_t pid, int* status, struct rusage* usage) {
  while (wait4(pid, status, 0, usage) < 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// RssAnon of `pid` in KiB, or -1 while it is not yet (or no longer) the program named
// `name`: between fork and exec the child still shows this process's memory.
long anon_kib(pid_t pid, const std::string& name) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
  FILE* status = std::fopen(path, "r");
  if (status == nullptr) return -1;
  char line[256];
  long kib = -1;
  bool right_program = false;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "Name:\t", 6) == 0) {
      line[std::strcspn(line, "\n")] = '\0';
      right_program = name.compare(0, 15, line + 6) == 0;
    } else if (std::strncmp(line, "RssAnon:", 8) == 0) {
      kib = std::atol(line + 8);
    }
  }
  std::fclose(status);
  return right_program ? kib : -1;
}

std::string base_name(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

[[noreturn]] void start_child(const Launch& launch) {
  std::vector<char*> args;
  for (const std::string& arg : launch.argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  if (chdir(launch.folder.c_str()) != 0) _exit(127);
  redirect(0, launch.input.c_str(), O_RDONLY);
  redirect(1, "/dev/null", O_WRONLY);
  if (!launch.show_errors) redirect(2, "/dev/null", O_WRONLY);
  // The program would ask through the desktop's file dialog; it answers on the console.
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  execvp(args[0], args.data());
  _exit(127);
}

double seconds_of(const struct timeval& time) {
  return time.tv_sec + time.tv_usec / 1e6;
}

}  // namespace

RunResult run_command(const Launch& launch) {
  RunResult result = {-1, 0.0, 0.0, 0.0, 0, 0};
  auto start = std::chrono::steady_clock::now();
  // fork, not posix_spawn: a child made with vfork reports this process's peak memory as
  // its own after exec, while a forked child starts from what this process holds now.
  pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) start_child(launch);
  // Linux keeps no high-water mark of private memory alone, so it is sampled.
  std::atomic<bool> running{true};
  std::atomic<long> peak_anon{0};
  std::thread sampler([&] {
    std::string name = base_name(launch.argv[0]);
    while (running.load()) {
      long kib = anon_kib(pid, name);
      if (kib > peak_anon.load()) peak_anon.store(kib);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  int status = 0;
  struct rusage usage;
  bool waited = wait_for(pid, &status, &usage);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  running.store(false);
  sampler.join();
  if (!waited) return result;
  result.user_seconds = seconds_of(usage.ru_utime);
  result.system_seconds = seconds_of(usage.ru_stime);
  result.peak_rss_kib = usage.ru_maxrss;
  result.peak_anon_kib = peak_anon.load();
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

bool have_program(const std::string& name) {
  Launch launch;
  launch.argv = {"sh", "-c", "command -v " + name};
  launch.show_errors = false;
  return run_command(launch).status == 0;
}
