// Fuzz target: two files cut from the input, the creator's patch between them, and the
// model's run of that patch, which must rebuild the new file exactly.
#include "diff/diff.h"
#include "format/trailer.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  // Byte 0 places the cut, byte 1 sets pieces small enough to meet inside matches.
  std::size_t cut = 3 + data[0] * (size - 3) / 255;
  std::string original(reinterpret_cast<const char*>(data) + 3, cut - 3);
  std::string target(reinterpret_cast<const char*>(data) + cut, size - cut);
  DiffSettings settings = default_diff_settings();
  settings.piece_size = 64 + data[1] * 16u;
  std::string patch;
  if (make_operation_stream(data + 3, original.size(), data + cut, target.size(), settings,
                            &patch) != DiffStatus::ok) {
    fuzz_fail("creator failed");
  }
  if (patch.size() > target.size() + 5) fuzz_fail("patch larger than the new file");
  patch += encode_trailer("a", "b", size_field_for(original.size()));
  static ModelResult result;
  model_patch(patch, &original, target.size(), &result);
  if (result.verdict != Verdict::complete || result.output != target) fuzz_fail("rebuild");
  return 0;
}
