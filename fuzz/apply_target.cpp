// Fuzz target: the whole run of the engine on files. The input's first two bytes give
// the original's length (little-endian), then come the original and the patch. The
// trailer reader, the applier and the new file's replacement run on real files in a
// scratch folder; the outcome, the new file and the folder are checked against the model.
#include <algorithm>
#include <cstdio>
#include <string>

#include "engine/patch.h"
#include "frontend/messages.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/reference.h"

namespace {

// Inputs whose new file would be larger are not run, so a valid big copy never reports
// out-of-memory or a timeout.
constexpr std::size_t kOutputCap = 4 << 20;
constexpr char kOldContent[] = "what was at the destination before";

const char* expected_format(Verdict verdict) {
  switch (verdict) {
    case Verdict::complete:
    case Verdict::too_big:
      return nullptr;
    case Verdict::no_new_name:
      return msg::kNotValidAfterName;
    case Verdict::wrong_original:
      return msg::kWrongOriginal;
    default:
      return msg::kNotValid;
  }
}

void read_trailer(PatchJob* job) {
  read_patch_trailer(job);
}

// Closes what the engine left open when it stopped; the real program's exit does that.
void close_streams(PatchJob* job) {
  if (job->patch_stream != nullptr) std::fclose(job->patch_stream);
  if (job->original_stream != nullptr) std::fclose(job->original_stream);
  job->patch_stream = job->original_stream = nullptr;
}

void check_stop(const ModelResult& model) {
  const char* expected = expected_format(model.verdict);
  if (expected == nullptr) fuzz_fail("stopped on a patch the model completes");
  if (stop_format != expected) fuzz_fail("stopped with the wrong message");
}

void check_trailer(const PatchJob& job, const ModelResult& model) {
  if (job.original_name != model.original_name || job.new_name != model.new_name ||
      job.expected_original_size != model.expected_original_size ||
      job.data_end != model.data_end) {
    fuzz_fail("trailer fields");
  }
}

// After the run the folder holds the three files and nothing else, and the destination
// holds either the complete new file or what it held before.
void check_files(const std::string& expected_destination) {
  std::string destination;
  if (!read_whole_file(scratch_path("destination"), &destination)) fuzz_fail("no destination");
  if (destination != expected_destination) fuzz_fail("destination content");
  if (scratch_entries() != 3) fuzz_fail("files left in the destination's folder");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::size_t original_length = std::min<std::size_t>(data[0] | data[1] << 8, size - 2);
  std::string original(reinterpret_cast<const char*>(data) + 2, original_length);
  std::string patch(reinterpret_cast<const char*>(data) + 2 + original_length,
                    size - 2 - original_length);
  ModelResult model = model_patch(patch, &original, kOutputCap);
  if (model.verdict == Verdict::too_big) return 0;

  std::string patch_path = scratch_path("patch");
  std::string original_path = scratch_path("original");
  std::string destination_path = scratch_path("destination");
  write_whole_file(patch_path, patch);
  write_whole_file(original_path, original);
  write_whole_file(destination_path, kOldContent);

  static PatchJob job;
  job = PatchJob{};
  job.patch_name = "patch";
  job.patch_stream = std::fopen(patch_path.c_str(), "rb");
  if (!run_until_stop(read_trailer, &job)) {
    close_streams(&job);
    check_stop(model);
    check_files(kOldContent);
    return 0;
  }
  check_trailer(job, model);
  job.original_stream = std::fopen(original_path.c_str(), "rb");
  job.new_stream = open_new_file(&job.output, destination_path.c_str());
  if (job.original_stream == nullptr || job.new_stream == nullptr) fuzz_fail("cannot open");
  bool completed = run_until_stop(apply_patch, &job);
  close_streams(&job);
  if (completed) {
    if (model.verdict != Verdict::complete) fuzz_fail("completed a patch the model rejects");
    check_files(model.output);
  } else {
    check_stop(model);
    check_files(kOldContent);
  }
  return 0;
}
