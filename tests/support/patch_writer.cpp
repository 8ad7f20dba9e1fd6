#include "tests/support/patch_writer.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

// Width bits of one operand: one byte, two bytes, or neither for four.
unsigned width_bits(std::uint32_t value, unsigned one_byte, unsigned two_bytes) {
  if (value <= 0xFF) return one_byte;
  if (value <= 0xFFFF) return two_bytes;
  return 0;
}

void append_le(std::string* out, std::uint32_t value, unsigned bits) {
  unsigned width = (bits & 0x0A) ? 1 : (bits & 0x14) ? 2 : 4;
  for (unsigned i = 0; i < width; ++i)
    out->push_back(static_cast<char>(value >> (8 * i)));
}

}  // namespace

PatchOp copy_op(std::uint32_t offset, std::uint32_t length) {
  return {true, offset, length, ""};
}

PatchOp insert_op(std::string data) {
  return {false, 0, static_cast<std::uint32_t>(data.size()), std::move(data)};
}

void append_op(std::string* stream, const PatchOp& op) {
  if (op.copy) {
    unsigned first = width_bits(op.offset, 0x02, 0x04);
    unsigned second = width_bits(op.length, 0x08, 0x10);
    stream->push_back(static_cast<char>(0x01 | first | second));
    append_le(stream, op.offset, first);
    append_le(stream, op.length, second);
    return;
  }
  unsigned first = width_bits(static_cast<std::uint32_t>(op.data.size()), 0x02, 0x04);
  stream->push_back(static_cast<char>(first));
  append_le(stream, static_cast<std::uint32_t>(op.data.size()), first);
  stream->append(op.data);
}

std::string encode_ops(const std::vector<PatchOp>& ops) {
  std::string stream;
  for (const PatchOp& op : ops)
    append_op(&stream, op);
  return stream;
}

std::string make_trailer(const std::string& original_name, const std::string& new_name,
                         const std::string& size_field) {
  std::string text = "Quorvalex|" + original_name + "|" + new_name + "|" + size_field;
  char field[16];
  std::snprintf(field, sizeof field, "%05zu", text.size());
  return text + field;
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
