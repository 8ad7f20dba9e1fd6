// The new file is built beside its destination and only moved over it when complete.
#include <cstring>

#include "engine/patch.h"

namespace {

// The new file being written, so that any way out of the program can remove it.
PendingOutput* pending = nullptr;
FILE* pending_stream = nullptr;

}  // namespace

FILE* open_new_file(PendingOutput* output, const char* path) {
  std::memset(output, 0, sizeof *output);
  if (!prepare_destination(output, path)) return nullptr;
  FILE* stream =
      output->in_place ? std::fopen(output->final_path, "wb") : create_temporary_file(output);
  if (stream == nullptr) return nullptr;
  pending = output;
  pending_stream = stream;
  return stream;
}

bool commit_new_file(PendingOutput* output, FILE* stream) {
  bool written = std::fflush(stream) == 0 && std::ferror(stream) == 0 && flush_to_disk(stream);
  bool closed = std::fclose(stream) == 0;
  pending_stream = nullptr;
  bool placed = written && closed &&
                (output->in_place || replace_file(output->temporary_path, output->final_path));
  if (!placed) discard_pending_output();
  pending = nullptr;
  return placed;
}

void discard_pending_output() {
  if (pending == nullptr) return;
  if (pending_stream != nullptr) std::fclose(pending_stream);
  if (!pending->in_place) std::remove(pending->temporary_path);
  pending = nullptr;
  pending_stream = nullptr;
}
