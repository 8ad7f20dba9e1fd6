// Interrupts on Windows: a console control handler (Ctrl-C, Ctrl-Break, closing the console
// window, logoff, shutdown) removes the armed file and ends the process. The handler runs
// on a thread of its own, so a lock keeps it out while the file changes hands.
#include "files/interrupt.h"

#include <windows.h>

#include <cstring>

#include "files/output.h"

namespace {

// Reached by the console control handler; written only while the lock is held.
SRWLOCK lock = SRWLOCK_INIT;
char armed_path[sizeof PendingOutput::temporary_path];
bool armed = false;

// The new file is open with FILE_SHARE_DELETE, so it can be deleted while it is being
// written: it goes when the process's handles close. Ending at once, instead of through
// ExitProcess, leaves the stream buffers and locks of the main thread alone.
BOOL WINAPI on_console_event(DWORD) {
  AcquireSRWLockExclusive(&lock);
  if (armed) DeleteFileA(armed_path);
  TerminateProcess(GetCurrentProcess(), 1);
  return TRUE;
}

}  // namespace

void install_interrupt_handlers() {
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void hold_interrupts() {
  AcquireSRWLockExclusive(&lock);
}

void release_interrupts() {
  ReleaseSRWLockExclusive(&lock);
}

void arm_interrupt_cleanup(const char* path) {
  std::strncpy(armed_path, path, sizeof armed_path - 1);
  armed = true;
}

void disarm_interrupt_cleanup() {
  armed = false;
}
