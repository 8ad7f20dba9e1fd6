// Decoding the operation stream: an op byte, then one or two little-endian operands.
#include "engine/patch.h"

namespace {

constexpr unsigned kCopyBit = 0x01;
constexpr unsigned kFirstOneByte = 0x02;
constexpr unsigned kFirstTwoBytes = 0x04;
constexpr unsigned kSecondOneByte = 0x08;
constexpr unsigned kSecondTwoBytes = 0x10;

// Operand width from its two width bits; the one-byte bit wins when both are set.
bool read_operand(ByteCursor* cursor, unsigned op, unsigned one_byte, unsigned two_bytes,
                  std::uint32_t* result) {
  if (op & one_byte) return read_u8(cursor, result);
  if (op & two_bytes) return read_u16_le(cursor, result);
  return read_u32_le(cursor, result);
}

bool read_bytes_le(ByteCursor* cursor, unsigned count, std::uint32_t* result) {
  if (cursor->end - cursor->next < static_cast<std::ptrdiff_t>(count)) return false;
  std::uint32_t value = 0;
  for (unsigned i = 0; i < count; ++i)
    value |= std::uint32_t{cursor->next[i]} << (8 * i);
  cursor->next += count;
  *result = value;
  return true;
}

}  // namespace

bool read_u8(ByteCursor* cursor, std::uint32_t* result) {
  return read_bytes_le(cursor, 1, result);
}

bool read_u16_le(ByteCursor* cursor, std::uint32_t* result) {
  return read_bytes_le(cursor, 2, result);
}

bool read_u32_le(ByteCursor* cursor, std::uint32_t* result) {
  return read_bytes_le(cursor, 4, result);
}

std::size_t decode_operation(const unsigned char* bytes, std::size_t available, Operation* op) {
  ByteCursor cursor = {bytes, bytes + available};
  std::uint32_t op_byte = 0;
  if (!read_u8(&cursor, &op_byte)) return 0;
  op->is_copy = (op_byte & kCopyBit) != 0;
  op->offset = 0;
  if (op->is_copy) {
    if (!read_operand(&cursor, op_byte, kFirstOneByte, kFirstTwoBytes, &op->offset) ||
        !read_operand(&cursor, op_byte, kSecondOneByte, kSecondTwoBytes, &op->length)) {
      return 0;
    }
  } else if (!read_operand(&cursor, op_byte, kFirstOneByte, kFirstTwoBytes, &op->length)) {
    return 0;
  }
  return static_cast<std::size_t>(cursor.next - bytes);
}
