// The new file is built beside its destination and only moved over it when complete.
// While it exists, an interrupt removes it.
#include <cstring>

#include "engine/interrupt.h"
#include "engine/output_platform.h"

namespace {

// Creates the temporary file and tells the interrupt handler about it in one step.
FILE* create_armed_temporary_file(PendingOutput* output) {
  hold_interrupts();
  FILE* stream = create_temporary_file(output);
  if (stream != nullptr) arm_interrupt_cleanup(output->temporary_path);
  release_interrupts();
  return stream;
}

// Moves the closed temporary file over the destination, or removes it when `complete`
// is false or the move fails. True when the new file is in place.
bool place_or_remove(PendingOutput* output, bool complete) {
  hold_interrupts();
  bool placed = complete && replace_file(output->temporary_path, output->final_path);
  if (!placed) std::remove(output->temporary_path);
  disarm_interrupt_cleanup();
  release_interrupts();
  return placed;
}

}  // namespace

FILE* open_new_file(PendingOutput* output, const char* path) {
  std::memset(output, 0, sizeof *output);
  if (!prepare_destination(output, path)) return nullptr;
  output->stream =
      output->in_place ? std::fopen(output->final_path, "wb") : create_armed_temporary_file(output);
  return output->stream;
}

bool commit_new_file(PendingOutput* output) {
  FILE* stream = output->stream;
  bool written = std::fflush(stream) == 0 && std::ferror(stream) == 0 && flush_to_disk(stream);
  bool closed = std::fclose(stream) == 0;
  output->stream = nullptr;
  if (output->in_place) return written && closed;
  return place_or_remove(output, written && closed);
}

void discard_new_file(PendingOutput* output) {
  if (output->stream == nullptr) return;
  std::fclose(output->stream);
  output->stream = nullptr;
  if (!output->in_place) place_or_remove(output, false);
}
