// Console detection on Windows.
#include <io.h>
#include <stdio.h>

#include "frontend/frontend.h"

bool stdout_is_terminal() {
  static const bool terminal = _isatty(_fileno(stdout)) != 0;
  return terminal;
}
