// What an interrupt does (Ctrl-C, Ctrl-Break, kill, a closed terminal or console window):
// it ends the armed child process, removes the unfinished new file, if there is one, and
// ends the process with status 1, the status of every way out of the program.
#pragma once

// Installs the platform's handlers; called once at start, before any file is written. On
// POSIX a file-size limit then makes a write fail with EFBIG (File too large) instead of
// ending the process with SIGXFSZ, so the failure is reported and the file removed.
void install_interrupt_handlers();

// Interrupts wait while held, so that none comes between creating, moving or removing
// the temporary file and telling the handler about it.
void hold_interrupts();
void release_interrupts();

// Makes the file at `path` the one an interrupt removes (the path is copied), or none.
void arm_interrupt_cleanup(const char* path);
void disarm_interrupt_cleanup();

// POSIX: makes `process_id` the child process an interrupt ends (SIGTERM), or none, so
// that a window the program opened does not outlive it. Arm it while interrupts are held,
// right after the child starts; disarm it before the child is reaped, so that the number
// cannot name another process by then.
void arm_interrupt_child(int process_id);
void disarm_interrupt_child();
