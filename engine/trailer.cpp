// Reading the trailer at the end of the patch file and showing the names it holds.

#include "engine/patch.h"
#include "frontend/messages.h"

namespace {

// Reads the trailer text into the job's buffer and sets the data end; false when the
// file is too short or its length field is unusable.
bool load_trailer(PatchJob* job) {
  std::int64_t file_size = stream_size(job->patch_stream);
  if (file_size < static_cast<std::int64_t>(kLengthFieldSize)) return false;
  char field[kLengthFieldSize];
  if (!seek_to(job->patch_stream, file_size - kLengthFieldSize) ||
      std::fread(field, 1, kLengthFieldSize, job->patch_stream) != kLengthFieldSize) {
    return false;
  }
  std::int64_t total = trailer_length(field, file_size);
  if (total < 0) return false;
  std::uint64_t data_end = file_size - total;
  // Operation offsets are 32-bit; a longer stream cannot be described.
  if (data_end > UINT32_MAX) return false;
  job->data_end = static_cast<std::uint32_t>(data_end);
  std::size_t length = static_cast<std::size_t>(total);
  if (!seek_to(job->patch_stream, data_end) ||
      std::fread(job->trailer, 1, length, job->patch_stream) != length) {
    return false;
  }
  job->trailer[length] = '\0';
  return true;
}

}  // namespace

int read_patch_trailer(PatchJob* job) {
  if (!load_trailer(job)) fail_and_exit(msg::kNotValid, job->patch_name);
  TrailerFields fields = parse_trailer(job->trailer);
  if (fields.original_name == nullptr) fail_and_exit(msg::kNotValid, job->patch_name);
  show_message(msg::kOriginalNamed, fields.original_name);
  if (fields.new_name == nullptr) fail_and_exit(msg::kNotValidAfterName, job->patch_name);
  show_message(msg::kNewNamed, fields.new_name);
  job->original_name = fields.original_name;
  job->new_name = fields.new_name;
  job->expected_original_size = fields.expected_original_size;
  seek_to(job->patch_stream, 0);
  return 1;
}
