// Messages, waits and the fatal stop: the program's only channel to the user.
#include <cstdio>

#include "frontend/frontend.h"
#include "select/printable.h"

void show_message(const char* format, const char* text, const char* reason) {
  if (text == nullptr) {
    std::fputs(format, stdout);
  } else {
    char shown[printable_capacity(kTrailerCapacity)];
    std::printf(format, printable(text, shown, sizeof shown), reason);
  }
  // The text must be visible before the pause or wait that follows it, also when standard
  // output is a pipe or file that someone watches.
  std::fflush(stdout);
}

void wait_for_key() {
  (void)std::getchar();
}

void fail_and_exit(const char* format, const char* text, const char* reason) {
  show_message(format, text, reason);
  wait_for_key();
  exit_program();
}
