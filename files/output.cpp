// The new file is built beside its destination and only moved over it when complete.
// While it exists, an interrupt removes it.
#include <cstdint>
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

// How copying the new file into the destination ended.
enum class Placement { placed, untouched, destination_cut };

// Overwrites `target` with the `length` bytes of `source`, once that length is reserved.
Placement overwrite(FILE* source, FILE* target, std::uint64_t length, int* error) {
  if (!reserve_length(target, length)) {
    failed(error);
    return Placement::untouched;
  }
  if (copy_stream(source, target) && cut_to_length(target, length) && flush_to_disk(target)) {
    return Placement::placed;
  }
  failed(error);
  return Placement::destination_cut;
}

// Copies the complete new file at `from` into the existing file at `to`, which keeps its
// identity: its other names, owner and permissions. The new length is reserved first, so
// that a full disk shows before the first old byte is overwritten; what can still fail
// after that (an I/O error) leaves the destination cut. Synced like the new file itself.
Placement copy_file_into(const char* from, const char* to, int* error) {
  FILE* source = std::fopen(from, "rb");
  std::int64_t length = source == nullptr ? -1 : stream_size(source);
  FILE* target = length < 0 ? nullptr : open_for_writing_in_place(to);
  Placement placement = Placement::untouched;
  if (target == nullptr) {
    failed(error);
  } else {
    placement = overwrite(source, target, static_cast<std::uint64_t>(length), error);
    if (std::fclose(target) != 0 && placement == Placement::placed) {
      failed(error);
      placement = Placement::destination_cut;
    }
  }
  if (source != nullptr) std::fclose(source);
  return placement;
}

// Renames the complete new file over the destination or, where that would change what
// the destination is or fails (a sticky folder, a busy or bind-mounted file), copies it
// into the destination in place.
Placement move_into_place(PendingOutput* output, int* error) {
  if (!output->copy_into_place && replace_file(output->temporary_path, output->final_path)) {
    return Placement::placed;
  }
  return copy_file_into(output->temporary_path, output->final_path, error);
}

// Puts the closed temporary file in place when `complete`, then removes it (after a
// rename it is already gone), unless a copy broke off in the destination: it is then the
// one complete copy left, and stays. Interrupts wait meanwhile: one that removed the file
// in the middle of a copy into the destination would leave the destination half-written.
bool place_or_remove(PendingOutput* output, bool complete, int* error) {
  hold_interrupts();
  Placement placement = complete ? move_into_place(output, error) : Placement::untouched;
  output->temporary_kept = placement == Placement::destination_cut;
  if (!output->temporary_kept) std::remove(output->temporary_path);
  disarm_interrupt_cleanup();
  release_interrupts();
  return placement == Placement::placed;
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
