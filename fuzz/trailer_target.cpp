// Fuzz target: the whole input is a patch file; its length field and trailer text go
// through the pure parser, as the engine hands them over, and are checked
// against the model.
#include <cstring>
#include <memory>
#include <string>

#include "format/trailer.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/reference.h"

namespace {

TrailerDefect expected_defect(Verdict verdict) {
  if (verdict == Verdict::no_signature) return TrailerDefect::no_signature;
  if (verdict == Verdict::no_original_name) return TrailerDefect::no_original_name;
  if (verdict == Verdict::no_new_name) return TrailerDefect::no_new_name;
  return TrailerDefect::none;
}

// A name must point into the buffer and read as the model's name.
bool same_name(const char* name, const char* buffer, const std::string& expected) {
  return name != nullptr && name >= buffer && name < buffer + kTrailerCapacity && name == expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string patch(reinterpret_cast<const char*>(data), size);
  static ModelResult model;
  model_patch(patch, nullptr, 0, &model);
  std::int64_t total =
      size < kLengthFieldSize ? -1 : trailer_length(patch.data() + size - kLengthFieldSize, size);
  if ((total < 0) != (model.verdict == Verdict::bad_length)) fuzz_fail("length field");
  if (total < 0) return 0;
  if (static_cast<std::uint64_t>(total) != size - model.data_end) fuzz_fail("trailer length");
  // Exactly the trailer buffer, so that any read or write past it is caught.
  std::unique_ptr<char[]> buffer(new char[kTrailerCapacity]);
  std::memcpy(buffer.get(), patch.data() + model.data_end, static_cast<std::size_t>(total));
  buffer[static_cast<std::size_t>(total)] = '\0';
  TrailerFields fields = parse_trailer(buffer.get());
  if (fields.defect != expected_defect(model.verdict)) fuzz_fail("trailer defect");
  if (model.verdict == Verdict::no_signature || model.verdict == Verdict::no_original_name) {
    return 0;
  }
  if (!same_name(fields.original_name, buffer.get(), model.original_name)) {
    fuzz_fail("original name");
  }
  if (model.verdict == Verdict::no_new_name) return 0;
  if (!same_name(fields.new_name, buffer.get(), model.new_name)) fuzz_fail("new name");
  if (fields.expected_original_size != model.expected_original_size) fuzz_fail("original size");
  return 0;
}
