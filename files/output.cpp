// The new file is built beside its destination and only moved over it when complete.
// While it exists, an interrupt removes it.
#include <cstring>

#include "files/files.h"
#include "files/interrupt.h"
#include "files/output_platform.h"

namespace {

// Creates the temporary file and tells the interrupt handler about it in one step.
FILE* create_armed_temporary_file(PendingOutput* output) {
  hold_interrupts();
  FILE* stream = create_temporary_file(output);
  if (stream != nullptr) arm_interrupt_cleanup(output->temporary_path);
  release_interrupts();
  return stream;
}

}  // namespace

FILE* open_new_file(PendingOutput* output, const char* path) {
  std::memset(output, 0, sizeof *output);
  if (!prepare_destination(output, path)) return nullptr;
  output->stream = output->in_place ? open_for_writing_in_place(output->final_path)
                                    : create_armed_temporary_file(output);
  return output->stream;
}

namespace {

// Keeps the reason of the first failure, before later calls overwrite it; false.
bool failed(int* error) {
  if (*error == 0) *error = last_system_error();
  return false;
}

// Moves the rest of `source` to `target`, flushed.
bool copy_stream(FILE* source, FILE* target) {
  unsigned char block[64 << 10];
  std::size_t got;
  while ((got = std::fread(block, 1, sizeof block, source)) > 0) {
    if (std::fwrite(block, 1, got, target) != got) return false;
  }
  return std::ferror(source) == 0 && std::fflush(target) == 0;
}

// Copies the file at `from` into the file at `to`, which keeps its identity: its other
// names, owner and permissions. Synced like the new file itself.
bool copy_file_into(const char* from, const char* to, int* error) {
  FILE* source = std::fopen(from, "rb");
  if (source == nullptr) return failed(error);
  FILE* target = std::fopen(to, "wb");
  bool copied =
      (target != nullptr && copy_stream(source, target) && flush_to_disk(target)) || failed(error);
  if (target != nullptr && std::fclose(target) != 0) copied = failed(error);
  std::fclose(source);
  return copied;
}

// Renames the complete new file over the destination or, where that would change what
// the destination is or fails (a sticky folder, a busy or bind-mounted file), copies it
// into the destination in place.
bool move_into_place(PendingOutput* output, int* error) {
  if (!output->copy_into_place && replace_file(output->temporary_path, output->final_path)) {
    return true;
  }
  return copy_file_into(output->temporary_path, output->final_path, error);
}

// Puts the closed temporary file in place when `complete`, then removes it (after a
// rename it is already gone). Interrupts wait meanwhile: one that removed the file in the
// middle of a copy into the destination would leave the destination half-written.
bool place_or_remove(PendingOutput* output, bool complete, int* error) {
  hold_interrupts();
  bool placed = complete && move_into_place(output, error);
  std::remove(output->temporary_path);
  disarm_interrupt_cleanup();
  release_interrupts();
  return placed;
}

}  // namespace

bool commit_new_file(PendingOutput* output, int* error) {
  FILE* stream = output->stream;
  *error = 0;
  bool written = (std::fflush(stream) == 0 && std::ferror(stream) == 0 && flush_to_disk(stream)) ||
                 failed(error);
  bool closed = std::fclose(stream) == 0 || failed(error);
  output->stream = nullptr;
  if (output->in_place) return written && closed;
  return place_or_remove(output, written && closed, error);
}

void discard_new_file(PendingOutput* output) {
  if (output->stream == nullptr) return;
  std::fclose(output->stream);
  output->stream = nullptr;
  int ignored = 0;
  if (!output->in_place) place_or_remove(output, false, &ignored);
}
