#include "bench/process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

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

}  // namespace

RunResult run_command(const std::vector<std::string>& argv, bool show_errors) {
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  RunResult result = {-1, 0.0, 0.0, 0};
  auto start = std::chrono::steady_clock::now();
  // fork, not posix_spawn: a child made with vfork reports this process's peak memory as
  // its own after exec, while a forked child starts from what this process holds now.
  pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) {
    redirect(0, "/dev/null", O_RDONLY);
    redirect(1, "/dev/null", O_WRONLY);
    if (!show_errors) redirect(2, "/dev/null", O_WRONLY);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (!wait_for(pid, &status, &usage)) return result;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.cpu_seconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                       (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  result.peak_rss_kib = usage.ru_maxrss;
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

bool have_program(const std::string& name) {
  return run_command({"sh", "-c", "command -v " + name}, false).status == 0;
}
