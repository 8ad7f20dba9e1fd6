#include "tests/support/patch_writer.h"

#include "format/operation.h"
#include "format/trailer.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

std::string encode_ops(const std::vector<PatchOp>& ops) {
  std::string stream;
  for (const PatchOp& op : ops)
    append_op(&stream, op);
  return stream;
}

std::string make_trailer(const std::string& original_name, const std::string& new_name,
                         const std::string& size_field) {
  return encode_trailer(original_name, new_name, size_field);
}

std::string make_patch(const std::vector<PatchOp>& ops, const std::string& original_name,
                       const std::string& new_name, const std::string& size_field) {
  return encode_ops(ops) + make_trailer(original_name, new_name, size_field);
}

std::string apply_reference(const std::vector<PatchOp>& ops, const std::string& original) {
  std::string result;
  for (const PatchOp& op : ops) {
    result += op.copy ? original.substr(op.offset, op.length) : op.data;
  }
  return result;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  // Whole-buffer copy: a byte-wise iterator takes seconds for megabytes in debug builds.
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}
