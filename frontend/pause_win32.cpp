// Pauses that pace the run, so each message can be read before the next step.
#include <windows.h>

#include "frontend/link_seams.h"

void pause_ms(unsigned milliseconds) {
  Sleep(milliseconds);
}
