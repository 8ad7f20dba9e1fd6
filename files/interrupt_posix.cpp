// Interrupts on POSIX: SIGINT, SIGQUIT (Ctrl-\), SIGTERM and SIGHUP end the armed child,
// remove the armed file and end the process. The handler may only make async-signal-safe
// calls, so the path is copied into a fixed buffer when it is armed.
#include "files/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "files/output.h"

namespace {

// Reached by the signal handler; the path is written only while the signals are held.
char armed_path[sizeof PendingOutput::temporary_path];
volatile std::sig_atomic_t armed = 0;
volatile std::sig_atomic_t armed_child = 0;  // a process number, 0 for none

constexpr int kInterrupts[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};

void on_interrupt(int) {
  if (armed_child > 0) kill(armed_child, SIGTERM);
  if (armed) unlink(armed_path);
  _exit(1);
}

// The program holds these signals nowhere else, so releasing them unblocks them.
void change_hold(int how) {
  sigset_t set;
  sigemptyset(&set);
  for (int interrupt : kInterrupts)
    sigaddset(&set, interrupt);
  sigprocmask(how, &set, nullptr);
}

}  // namespace

void install_interrupt_handlers() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = on_interrupt;
  sigfillset(&action.sa_mask);
  for (int interrupt : kInterrupts) {
    struct sigaction previous;
    // A signal ignored by whoever started the program (nohup) stays ignored.
    if (sigaction(interrupt, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(interrupt, &action, nullptr);
  }
  // A write past a file-size limit then fails with EFBIG, reported as any write error.
  std::signal(SIGXFSZ, SIG_IGN);
}

void hold_interrupts() {
  change_hold(SIG_BLOCK);
}

void release_interrupts() {
  change_hold(SIG_UNBLOCK);
}

void arm_interrupt_cleanup(const char* path) {
  std::strncpy(armed_path, path, sizeof armed_path - 1);
  armed = 1;
}

void disarm_interrupt_cleanup() {
  armed = 0;
}

void arm_interrupt_child(int process_id) {
  armed_child = process_id;
}

void disarm_interrupt_child() {
  armed_child = 0;
}
