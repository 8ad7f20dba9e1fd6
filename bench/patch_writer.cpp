#include "bench/patch_writer.h"

#include "format/operation.h"
#include "format/trailer.h"

PatchOp copy_op(std::uint32_t offset, std::uint32_t length) {
  return {true, offset, length, ""};
}

PatchOp insert_op(std::string data) {
  return {false, 0, static_cast<std::uint32_t>(data.size()), std::move(data)};
}

void append_op(std::string* stream, const PatchOp& op) {
  if (op.copy) {
    append_copy(stream, op.offset, op.length);
  } else {
    append_insert(stream, op.data.data(), op.data.size());
  }
}

std::string make_trailer(const std::string& original_name, const std::string& new_name,
                         const std::string& size_field) {
  return encode_trailer(original_name, new_name, size_field);
}
