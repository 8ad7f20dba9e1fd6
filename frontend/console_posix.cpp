// Terminal detection on POSIX systems.
#include <unistd.h>

#include "frontend/frontend.h"

bool stdout_is_terminal() {
  static const bool terminal = isatty(STDOUT_FILENO) == 1;
  return terminal;
}
