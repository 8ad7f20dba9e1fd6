// Pauses that pace the run, so each message can be read before the next step.
#include <time.h>

#include <cerrno>

#include "frontend/link_seams.h"

void pause_ms(unsigned milliseconds) {
  timespec rest = {static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}
