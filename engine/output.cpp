// The new file is built beside its destination and only moved over it when complete.
#include <cstring>

#include "engine/files.h"
#include "engine/output_platform.h"

FILE* open_new_file(PendingOutput* output, const char* path) {
  std::memset(output, 0, sizeof *output);
  if (!prepare_destination(output, path)) return nullptr;
  output->stream = output->in_place ? open_for_writing_in_place(output->final_path)
                                    : create_temporary_file(output);
  return output->stream;
}

namespace {

// Keeps the reason of the first failure, before later calls overwrite it; false.
bool failed(int* error) {
  if (*error == 0) *error = last_system_error();
  return false;
}

}  // namespace

bool commit_new_file(PendingOutput* output, int* error) {
  FILE* stream = output->stream;
  *error = 0;
  bool written = (std::fflush(stream) == 0 && std::ferror(stream) == 0 && flush_to_disk(stream)) ||
                 failed(error);
  bool closed = std::fclose(stream) == 0 || failed(error);
  output->stream = nullptr;
  bool placed = written && closed &&
                (output->in_place || replace_file(output->temporary_path, output->final_path) ||
                 failed(error));
  if (!placed && !output->in_place) std::remove(output->temporary_path);
  return placed;
}

void discard_new_file(PendingOutput* output) {
  if (output->stream == nullptr) return;
  std::fclose(output->stream);
  output->stream = nullptr;
  if (!output->in_place) std::remove(output->temporary_path);
}
