// File dialogs through zenity or kdialog. The dialog program runs with an argument
// vector, never a shell, since the names come from the patch and may hold any byte; its
// standard output is a pipe that carries the chosen path back.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "files/interrupt.h"
#include "select/choosers.h"
#include "select/desktop_chooser.h"

extern char** environ;

namespace {

// zenity also ends with status 1 when it cannot open the display, so its cancel is moved
// to a status of its own (through its ZENITY_CANCEL and ZENITY_ESC variables): a broken
// session then falls back to the console instead of looping on "cancelled".
constexpr char kZenityCancelText[] = "3";
constexpr int kZenityCancelStatus = 3;
constexpr int kKdialogCancelStatus = 1;

// The starting path: the current folder, a slash and the pre-filled name.
constexpr std::size_t kStartCapacity = PATH_MAX + kPathCapacity;

enum class Reply { complete, too_long, unreadable };

bool is_set(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && value[0] != '\0';
}

// Joins the current folder and `name`; an absolute name stands alone.
bool starting_path(const char* name, char* start, std::size_t capacity) {
  char folder[PATH_MAX] = "";
  if (name[0] != '/' && getcwd(folder, sizeof folder) == nullptr) return false;
  const char* joint = name[0] == '/' || std::strcmp(folder, "/") == 0 ? "" : "/";
  int written = std::snprintf(start, capacity, "%s%s%s", folder, joint, name);
  return written >= 0 && static_cast<std::size_t>(written) < capacity;
}

// Starts `argv` as the child process that an interrupt ends. Interrupts wait until it is
// armed, so that none leaves its window open; the dialog itself starts with the signal
// mask as it was before. The error of posix_spawnp.
int spawn_armed(pid_t* pid, char* const argv[], const posix_spawn_file_actions_t* actions) {
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t mask;
  sigprocmask(SIG_SETMASK, nullptr, &mask);
  posix_spawnattr_setsigmask(&attributes, &mask);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  hold_interrupts();
  int error = posix_spawnp(pid, argv[0], actions, &attributes, argv, environ);
  if (error == 0) arm_interrupt_child(*pid);
  release_interrupts();
  posix_spawnattr_destroy(&attributes);
  return error;
}

// Starts `argv` with standard output on a new pipe whose read end goes to `reply_fd`.
// Standard input and error are /dev/null: the dialog must not eat the console's answers,
// and toolkit warnings are noise. False when the program cannot be started.
bool start_dialog(char* const argv[], pid_t* pid, int* reply_fd) {
  int ends[2];
  if (pipe(ends) != 0) return false;
  // Close-on-exec, so that the dialog holds no copy of the read end.
  fcntl(ends[0], F_SETFD, FD_CLOEXEC);
  fcntl(ends[1], F_SETFD, FD_CLOEXEC);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  int error = spawn_armed(pid, argv, &actions);
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  if (error != 0) {
    close(ends[0]);
    return false;
  }
  *reply_fd = ends[0];
  return true;
}

// Reads the reply to its end; what does not fit is drained so that the dialog can
// finish, and the reply then counts as too long.
Reply read_reply(int fd, char* reply, std::size_t capacity) {
  std::size_t length = 0;
  bool overflow = false;
  for (;;) {
    char spill[512];
    bool full = length + 1 == capacity;
    ssize_t got =
        full ? read(fd, spill, sizeof spill) : read(fd, reply + length, capacity - 1 - length);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      reply[length] = '\0';
      if (got < 0) return Reply::unreadable;
      return overflow ? Reply::too_long : Reply::complete;
    }
    if (full) {
      overflow = true;
    } else {
      length += static_cast<std::size_t>(got);
    }
  }
}

// The dialog's exit status, or -1 when a signal ended it. It is disarmed once it has
// ended but before it is reaped, while its number still names it.
int wait_for_dialog(pid_t pid) {
  siginfo_t ended;
  while (waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOWAIT) < 0 && errno == EINTR)
    continue;
  disarm_interrupt_child();
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Judges the finished dialog. A path too long for the buffer was still the user's
// answer, so it counts as a cancel and the dialog comes back after the cancel message.
DialogOutcome take_reply(int status, int cancel_status, Reply read, char* reply, char* path) {
  if (status == cancel_status) return DialogOutcome::cancelled;
  if (status != 0 || read == Reply::unreadable) return DialogOutcome::failed;
  std::size_t length = std::strlen(reply);
  if (length > 0 && reply[length - 1] == '\n') reply[--length] = '\0';
  if (length == 0) return DialogOutcome::failed;
  if (read == Reply::too_long || length >= kPathCapacity) return DialogOutcome::cancelled;
  std::memcpy(path, reply, length + 1);
  return DialogOutcome::chosen;
}

// Shows the dialog of `argv`; false when the program could not be started.
bool run_dialog(char* const argv[], int cancel_status, char* path, DialogOutcome* outcome) {
  pid_t pid;
  int fd;
  if (!start_dialog(argv, &pid, &fd)) return false;
  char reply[kPathCapacity + 1];  // the longest path and its line end
  Reply read = read_reply(fd, reply, sizeof reply);
  close(fd);
  *outcome = take_reply(wait_for_dialog(pid), cancel_status, read, reply, path);
  return true;
}

// exec takes mutable strings but never writes to them.
char* arg(const char* text) {
  return const_cast<char*>(text);
}

}  // namespace

DialogOutcome desktop_choose(char* path, const char* title, bool save) {
  char start[kStartCapacity];
  if (!is_set("DISPLAY") && !is_set("WAYLAND_DISPLAY")) return DialogOutcome::failed;
  if (!starting_path(path, start, sizeof start)) return DialogOutcome::failed;

  char title_option[sizeof "--title=" + kTitleCapacity];
  char start_option[sizeof "--filename=" + kStartCapacity];
  std::snprintf(title_option, sizeof title_option, "--title=%s", title);
  std::snprintf(start_option, sizeof start_option, "--filename=%s", start);
  char* zenity[] = {arg("zenity"), arg("--file-selection"),        title_option,
                    start_option,  save ? arg("--save") : nullptr, nullptr};
  char* kdialog[] = {arg("kdialog"), arg(save ? "--getsavefilename" : "--getopenfilename"),
                     start,          arg("--title"),
                     arg(title),     nullptr};
  setenv("ZENITY_CANCEL", kZenityCancelText, 1);
  setenv("ZENITY_ESC", kZenityCancelText, 1);

  DialogOutcome outcome;
  if (run_dialog(zenity, kZenityCancelStatus, path, &outcome)) return outcome;
  if (run_dialog(kdialog, kKdialogCancelStatus, path, &outcome)) return outcome;
  return DialogOutcome::failed;
}
