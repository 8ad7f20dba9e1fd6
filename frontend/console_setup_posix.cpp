// Setting up the console on POSIX systems.
#include <csignal>

#include "frontend/frontend.h"

// A closed standard output (`| head -c 10`) must not end the run: the failed writes are
// ignored, as every write error on standard output is.
void prepare_console() {
  std::signal(SIGPIPE, SIG_IGN);
}
