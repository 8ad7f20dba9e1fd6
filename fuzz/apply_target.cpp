// Fuzz target: the whole run of the engine on files. The input holds the original's
// length (3 bytes, little-endian, below 1 MiB), a count of literal bytes (2 bytes), those
// bytes, which begin the original, and then the patch. The rest of the original is a
// pattern, so that small inputs reach copies and originals of any size. The trailer
// reader, the applier and the new file's replacement run on real files in a scratch
// folder; the outcome, the new file and the folder are checked against the model.
#include <algorithm>
#include <cstdio>
#include <string>

#include "engine/patch_job.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/reference.h"

namespace {

// Inputs whose new file would be larger are not run, so a valid big copy never reports
// out-of-memory or a timeout.
constexpr std::size_t kOutputCap = 12 << 20;
constexpr std::size_t kHeader = 5;
constexpr std::size_t kMaxOriginal = 1 << 20;
constexpr char kOldContent[] = "what was at the destination before";

JobOutcome expected_outcome(Verdict verdict) {
  switch (verdict) {
    case Verdict::complete:
    case Verdict::too_big:
      return JobOutcome::complete;
    case Verdict::no_new_name:
      return JobOutcome::no_new_name;
    case Verdict::wrong_original:
      return JobOutcome::wrong_original;
    case Verdict::damaged_patch:
      return JobOutcome::damaged_patch;
    default:
      return JobOutcome::not_valid;
  }
}

std::uint32_t little_endian(const std::uint8_t* bytes, int count) {
  std::uint32_t value = 0;
  for (int i = 0; i < count; ++i)
    value |= std::uint32_t{bytes[i]} << (8 * i);
  return value;
}

// The original: the literal bytes, then a pattern without short periods, so that a copy
// from the wrong offset shows in the new file.
void make_original(std::size_t length, const std::uint8_t* literal, std::size_t count,
                   std::string* original) {
  static std::string pattern;
  for (std::size_t i = pattern.size(); i < kMaxOriginal; ++i)
    pattern.push_back(static_cast<char>(static_cast<std::uint32_t>(i * 2654435761u) >> 24));
  original->assign(reinterpret_cast<const char*>(literal), std::min(count, length));
  original->append(pattern, original->size(), length - original->size());
}

void check_trailer(const PatchTrailer& trailer, const ModelResult& model) {
  const TrailerFields& fields = trailer.fields;
  if (fields.original_name != model.original_name || fields.new_name != model.new_name ||
      fields.expected_original_size != model.expected_original_size ||
      trailer.data_end != model.data_end) {
    fuzz_fail("trailer fields");
  }
}

// After the run the folder holds the three files and nothing else: the patch and the
// original as they were, the destination with the new file or what it held before.
void check_files(const std::string& patch, const std::string& original,
                 const std::string& destination) {
  static std::string now;
  if (!read_whole_file(scratch_path("destination"), &now) || now != destination) {
    fuzz_fail("destination content");
  }
  if (!read_whole_file(scratch_path("patch"), &now) || now != patch) fuzz_fail("patch changed");
  if (!read_whole_file(scratch_path("original"), &now) || now != original) {
    fuzz_fail("original changed");
  }
  if (scratch_entries() != 3) fuzz_fail("files left in the destination's folder");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeader) return 0;
  std::size_t length = little_endian(data, 3) % kMaxOriginal;
  std::size_t literal = std::min<std::size_t>(little_endian(data + 3, 2), size - kHeader);
  // Static, so that their buffers are reused: see model_patch.
  static std::string original, patch;
  static ModelResult model;
  make_original(length, data + kHeader, literal, &original);
  patch.assign(reinterpret_cast<const char*>(data) + kHeader + literal, size - kHeader - literal);
  model_patch(patch, &original, kOutputCap, &model);
  if (model.verdict == Verdict::too_big) return 0;

  std::string patch_path = scratch_path("patch");
  std::string original_path = scratch_path("original");
  std::string destination_path = scratch_path("destination");
  write_whole_file(patch_path, patch);
  write_whole_file(original_path, original);
  write_whole_file(destination_path, kOldContent);

  static PatchJob job;
  JobOutcome outcome =
      run_patch_job(&job, patch_path.c_str(), original_path.c_str(), destination_path.c_str());
  if (outcome != expected_outcome(model.verdict)) fuzz_fail("the job ended otherwise");
  bool names_read =
      model.verdict != Verdict::bad_length && model.verdict != Verdict::no_signature &&
      model.verdict != Verdict::no_original_name && model.verdict != Verdict::no_new_name;
  if (names_read) check_trailer(job.trailer, model);
  check_files(patch, original, outcome == JobOutcome::complete ? model.output : kOldContent);
  return 0;
}
