// Fuzz target: one whole patch job on real files (trailer, decoding, rebuild, replacing
// the new file). The input holds the original's length (3 bytes, little-endian, below
// 1 MiB), a count of literal bytes (2 bytes), those bytes, which begin the original, and
// then the patch; the rest of the original is a pattern without short periods. The job
// is checked against a model that decodes one operation at a time into a string, and
// every patch that completes runs once more with the checks the creator writes.
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "creator/creator.h"
#include "engine/patch_job.h"
#include "tests/support/helpers.h"

JobOutcome last_outcome;  // for the replay's expectations

namespace {

constexpr std::size_t kOutputCap = 12 << 20;  // bigger new files are not run
constexpr char kOldContent[] = "what was at the destination before";

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// Where the patch's trailer begins; the whole patch when it has none.
std::size_t data_end(const std::string& patch) {
  std::int64_t total = patch.size() < kLengthFieldSize
                           ? -1
                           : trailer_length(&patch[patch.size() - kLengthFieldSize], patch.size());
  return patch.size() - static_cast<std::size_t>(std::max<std::int64_t>(total, 0));
}

// Runs the operations before `end` one at a time, an insert cut short by `end` as far as
// it goes, until one fails or the new file grows past `limit`.
JobOutcome rebuild(const std::string& patch, std::size_t end, const std::string& original,
                   std::uint64_t limit, std::string* out) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(patch.data());
  for (std::size_t at = 0; at < end && out->size() <= kOutputCap;) {
    Operation op;
    std::size_t head = decode_operation(bytes + at, end - at, &op);
    if (head == 0) return JobOutcome::damaged_patch;
    at += head;
    if (op.is_copy && op.offset + std::uint64_t{op.length} > original.size()) {
      return JobOutcome::wrong_original;
    }
    std::size_t length = op.is_copy ? op.length : std::min<std::size_t>(op.length, end - at);
    out->append(op.is_copy ? original : patch, op.is_copy ? op.offset : at, length);
    if (out->size() > limit) return JobOutcome::wrong_original;
    if (length < op.length) return JobOutcome::damaged_patch;
    if (!op.is_copy) at += length;
  }
  return JobOutcome::complete;
}

// What the job must do: the format's own trailer parser and decoder, one step at a time,
// and the checks the patch carries: damage to the operation stream first, then a new file
// of another size or hash.
JobOutcome model(const std::string& patch, const std::string& original, std::string* out) {
  std::size_t end = data_end(patch);
  if (end == patch.size()) return JobOutcome::not_valid;
  std::string text = patch.substr(end);
  TrailerFields fields = parse_trailer(text.data());
  if (fields.original_name == nullptr) return JobOutcome::not_valid;
  if (fields.new_name == nullptr) return JobOutcome::no_new_name;
  std::int32_t size = fields.expected_original_size;
  if (size != 0 && static_cast<std::size_t>(size) != original.size()) {
    return JobOutcome::wrong_original;
  }
  const PatchChecks& checks = fields.checks;
  auto has = [&checks](unsigned check) { return (checks.present & check) != 0; };
  JobOutcome run =
      rebuild(patch, end, original, has(kNewSizeCheck) ? checks.new_size : UINT64_MAX, out);
  if (has(kOperationsHashCheck) && hash_bytes(patch.data(), end) != checks.operations_hash) {
    return JobOutcome::damaged_patch;
  }
  if (run != JobOutcome::complete) return run;
  if ((has(kNewSizeCheck) && out->size() != checks.new_size) ||
      (has(kNewHashCheck) && hash_bytes(out->data(), out->size()) != checks.new_hash)) {
    return JobOutcome::wrong_original;
  }
  return JobOutcome::complete;
}

const std::string& scratch() {
  // Shared memory when there is some: the new file is synced on every run.
  static const std::string folder =
      make_scratch_folder(std::getenv("QV_FUZZ_SCRATCH") ? std::getenv("QV_FUZZ_SCRATCH") : "/tmp");
  return folder;
}

// The creator's patch from `original` to `target`, run by the model, must rebuild `target`
// and be no larger than the target with one insert head. `shape` sets pieces small
// enough for matches to cross their edges, and whether the original is sorted in parts.
void check_round_trip(const std::string& original, const std::string& target, unsigned shape) {
  if (target.size() > (1 << 16)) return;  // keeps the run fast; sizes are the engine's part
  DiffSettings settings = default_diff_settings();
  settings.piece_size = 64 + shape * 16;
  settings.split_size = shape % 2 == 0 ? 0 : SIZE_MAX;  // the original in two parts, or whole
  std::string patch;
  const auto* from = reinterpret_cast<const unsigned char*>(original.data());
  const auto* to = reinterpret_cast<const unsigned char*>(target.data());
  if (make_operation_stream(from, original.size(), to, target.size(), settings, &patch) !=
      DiffStatus::ok) {
    fail("the creator failed");
  }
  if (patch.size() > target.size() + 5) fail("patch larger than the new file");
  patch += encode_trailer("a", "b", size_field_for(original.size()));
  std::string rebuilt;
  if (model(patch, original, &rebuilt) != JobOutcome::complete || rebuilt != target) {
    fail("the creator's patch does not rebuild the new file");
  }
}

// Runs the whole job on real files: it must end as `expected` says, with `output` at the
// destination when complete and the destination untouched otherwise, the inputs unchanged
// and nothing left behind.
JobOutcome check_job(const std::string& patch, const std::string& original, JobOutcome expected,
                     const std::string& output) {
  const std::string& folder = scratch();
  write_file(folder + "patch", patch);
  write_file(folder + "original", original);
  write_file(folder + "new", kOldContent);
  static PatchJob job;
  JobOutcome outcome = run_patch_job(&job, (folder + "patch").c_str(),
                                     (folder + "original").c_str(), (folder + "new").c_str());
  if (outcome != expected) fail("the job ended otherwise");
  bool complete = outcome == JobOutcome::complete;
  if (read_file(folder + "new") != (complete ? output : kOldContent)) fail("new file");
  if (read_file(folder + "patch") != patch || read_file(folder + "original") != original) {
    fail("an input changed");
  }
  if (std::distance(std::filesystem::directory_iterator(folder), {}) != 3)
    fail("files left behind");
  return outcome;
}

// The operations of a patch that rebuilt `target`, now with the checks our creator writes,
// on the original and on the original with one byte changed: the job must complete
// exactly when it rebuilds `target` again.
void check_verified(const std::string& patch, const std::string& original,
                    const std::string& target, unsigned seed) {
  if (target.size() > (1 << 20)) return;  // keeps the run fast
  std::string operations = patch.substr(0, data_end(patch));
  const auto* old_bytes = reinterpret_cast<const unsigned char*>(original.data());
  const auto* new_bytes = reinterpret_cast<const unsigned char*>(target.data());
  PatchChecks checks =
      make_checks(old_bytes, original.size(), new_bytes, target.size(), operations);
  std::string verified =
      operations + encode_trailer("a", "b", size_field_with_checks(original.size(), checks));
  std::string changed = original;
  if (!changed.empty()) changed[seed % changed.size()] ^= 1;
  for (const std::string& old : {original, changed}) {
    std::string output;
    JobOutcome expected = model(verified, old, &output);
    if ((expected == JobOutcome::complete) != (output == target)) {
      fail("a verified patch ended otherwise than its new file says");
    }
    check_job(verified, old, expected, output);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  std::size_t length = (data[0] | data[1] << 8 | data[2] << 16) % (1 << 20);
  std::size_t literal = std::min<std::size_t>(data[3] | data[4] << 8, size - 5);
  static std::string pattern, original, patch, output;
  for (std::size_t i = pattern.size(); i < 1 << 20; ++i)
    pattern.push_back(static_cast<char>(static_cast<std::uint32_t>(i * 2654435761u) >> 24));
  original.assign(reinterpret_cast<const char*>(data) + 5, std::min(literal, length));
  original.append(pattern, original.size(), length - original.size());
  patch.assign(reinterpret_cast<const char*>(data) + 5 + literal, size - 5 - literal);
  output.clear();
  JobOutcome expected = model(patch, original, &output);
  if (output.size() > kOutputCap) return 0;

  last_outcome = check_job(patch, original, expected, output);
  if (last_outcome == JobOutcome::complete) {
    check_round_trip(original, output, data[0]);
    check_verified(patch, original, output, static_cast<unsigned>(hash_bytes(data, size)));
  }
  return 0;
}
