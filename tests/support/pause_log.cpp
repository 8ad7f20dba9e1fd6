// Pauses for the end-to-end test build: instead of sleeping, each pause is appended to
// the file named by QV_PAUSE_LOG, so tests run fast and can check every pause taken.
#include <cstdio>
#include <cstdlib>

#include "frontend/link_seams.h"

void pause_ms(unsigned milliseconds) {
  const char* log = std::getenv("QV_PAUSE_LOG");
  if (log == nullptr) return;
  if (FILE* out = std::fopen(log, "a")) {
    std::fprintf(out, "%u\n", milliseconds);
    std::fclose(out);
  }
}
