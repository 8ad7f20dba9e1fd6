// Fuzz target: one operation head decoded from the input, checked against the model.
#include "format/operation.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ModelOperation expected = model_operation(data, size);
  Operation op;
  std::size_t head = decode_operation(data, size, &op);
  if (head != expected.head || head > kMaxOperationHead) fuzz_fail("operation head size");
  if (head == 0) return 0;
  if (op.is_copy != expected.is_copy || op.length != expected.length ||
      (op.is_copy && op.offset != expected.offset)) {
    fuzz_fail("operation fields");
  }
  return 0;
}
