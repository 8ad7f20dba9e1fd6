// The steps of one patch job, from the opened patch file to the new file in place.
#include "engine/patch_job.h"

#include <cstring>

#include "files/files.h"

namespace {

// Reads the trailer text into its buffer and sets the data end; false when the file is
// not a regular file, too short or its length field is unusable.
bool load_trailer(FILE* patch, PatchTrailer* trailer) {
  if (!is_regular_file(patch)) return false;
  std::int64_t file_size = stream_size(patch);
  if (file_size < static_cast<std::int64_t>(kLengthFieldSize)) return false;
  char field[kLengthFieldSize];
  if (!seek_to(patch, file_size - kLengthFieldSize) ||
      std::fread(field, 1, kLengthFieldSize, patch) != kLengthFieldSize) {
    return false;
  }
  std::int64_t total = trailer_length(field, file_size);
  if (total < 0) return false;
  std::uint64_t data_end = file_size - total;
  // Operation offsets are 32-bit; a longer stream cannot be described.
  if (data_end > UINT32_MAX) return false;
  trailer->data_end = static_cast<std::uint32_t>(data_end);
  std::size_t length = static_cast<std::size_t>(total);
  if (!seek_to(patch, data_end) || std::fread(trailer->text, 1, length, patch) != length) {
    return false;
  }
  trailer->text[length] = '\0';
  return true;
}

void close_stream(FILE** stream) {
  if (*stream != nullptr) std::fclose(*stream);
  *stream = nullptr;
}

JobOutcome job_outcome(ApplyOutcome outcome) {
  switch (outcome) {
    case ApplyOutcome::complete:
      return JobOutcome::complete;
    case ApplyOutcome::damaged_patch:
      return JobOutcome::damaged_patch;
    case ApplyOutcome::wrong_original:
      return JobOutcome::wrong_original;
    case ApplyOutcome::write_failed:
      break;
  }
  return JobOutcome::write_failed;
}

}  // namespace

bool open_patch(PatchJob* job, const char* path) {
  job->patch_stream = open_for_reading(path);
  return job->patch_stream != nullptr;
}

const TrailerFields& read_trailer(PatchJob* job) {
  PatchTrailer& trailer = job->trailer;
  if (load_trailer(job->patch_stream, &trailer)) {
    trailer.fields = parse_trailer(trailer.text);
  } else {
    trailer.fields = {TrailerDefect::unreadable, nullptr, nullptr, 0, {}};
  }
  seek_to(job->patch_stream, 0);
  return trailer.fields;
}

// The original must be a regular file: the patch reads it at arbitrary offsets.
bool open_original(PatchJob* job, const char* path) {
  job->original_stream = open_for_reading(path);
  if (job->original_stream != nullptr && !is_regular_file(job->original_stream)) {
    close_stream(&job->original_stream);
  }
  return job->original_stream != nullptr;
}

// The original may be the destination: the new file is built beside it and replaces it
// only once complete. The patch may not: it is read to the end of the run, and a patch that
// replaced itself could never be applied again.
bool open_destination(PatchJob* job, const char* path) {
  return !is_same_file(path, job->patch_stream) && open_new_file(&job->output, path) != nullptr;
}

ApplyResult apply_patch(PatchJob* job) {
  std::int32_t expected_size = job->trailer.fields.expected_original_size;
  ApplyResult result = {ApplyOutcome::wrong_original, 0, nullptr};
  if (expected_size == 0 || stream_size(job->original_stream) == expected_size) {
    result.outcome =
        run_operations(&job->applier, job->patch_stream, job->trailer.data_end,
                       job->original_stream, job->output.stream, job->trailer.fields.checks);
    if (result.outcome == ApplyOutcome::write_failed) result.error = job->applier.write_error;
  }
  // The original may be the destination: it is unmapped and closed before the new file
  // takes its place (Windows replaces no open or mapped file) or is copied into it.
  unmap_file(&job->applier.original_map);
  close_stream(&job->original_stream);
  if (result.outcome == ApplyOutcome::complete && !commit_new_file(&job->output, &result.error)) {
    result.outcome = ApplyOutcome::write_failed;
    if (job->output.temporary_kept) result.complete_new_file = job->output.temporary_path;
  }
  close_patch_job(job);
  return result;
}

void close_patch_job(PatchJob* job) {
  close_stream(&job->original_stream);
  discard_new_file(&job->output);
  close_stream(&job->patch_stream);
}

JobOutcome run_patch_job(PatchJob* job, const char* patch_path, const char* original_path,
                         const char* destination_path) {
  if (!open_patch(job, patch_path)) return JobOutcome::patch_missing;
  const TrailerFields& fields = read_trailer(job);
  JobOutcome outcome = JobOutcome::complete;
  if (fields.original_name == nullptr) {
    outcome = JobOutcome::not_valid;
  } else if (fields.new_name == nullptr) {
    outcome = JobOutcome::no_new_name;
  } else if (!open_original(job, original_path)) {
    outcome = JobOutcome::original_unusable;
  } else if (!open_destination(job, destination_path)) {
    outcome = JobOutcome::destination_refused;
  } else {
    return job_outcome(apply_patch(job).outcome);
  }
  close_patch_job(job);
  return outcome;
}
