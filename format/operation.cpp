// Decoding and encoding operation heads: an op byte, then one or two little-endian operands.
#include "format/operation.h"

#include <algorithm>

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

std::size_t operand_width(std::uint32_t value) {
  return value <= 0xFF ? 1 : value <= 0xFFFF ? 2 : 4;
}

unsigned width_bits(std::uint32_t value, unsigned one_byte, unsigned two_bytes) {
  std::size_t width = operand_width(value);
  return width == 1 ? one_byte : width == 2 ? two_bytes : 0;
}

unsigned char* write_le(unsigned char* out, std::uint32_t value) {
  for (std::size_t i = 0; i < operand_width(value); ++i)
    *out++ = static_cast<unsigned char>(value >> (8 * i));
  return out;
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

std::size_t encode_operation(const Operation& op, unsigned char head[kMaxOperationHead]) {
  unsigned char* out = head + 1;
  if (op.is_copy) {
    head[0] =
        static_cast<unsigned char>(kCopyBit | width_bits(op.offset, kFirstOneByte, kFirstTwoBytes) |
                                   width_bits(op.length, kSecondOneByte, kSecondTwoBytes));
    out = write_le(write_le(out, op.offset), op.length);
  } else {
    head[0] = static_cast<unsigned char>(width_bits(op.length, kFirstOneByte, kFirstTwoBytes));
    out = write_le(out, op.length);
  }
  return static_cast<std::size_t>(out - head);
}

std::size_t copy_head_size(std::uint32_t offset, std::uint32_t length) {
  return 1 + operand_width(offset) + operand_width(length);
}

std::size_t insert_head_size(std::uint32_t length) {
  return 1 + operand_width(length);
}

std::uint64_t insert_stream_size(std::uint64_t length) {
  std::uint64_t size = length;
  for (; length > UINT32_MAX; length -= UINT32_MAX)
    size += insert_head_size(UINT32_MAX);
  return size + (length > 0 ? insert_head_size(static_cast<std::uint32_t>(length)) : 0);
}

void append_copy(std::string* stream, std::uint32_t offset, std::uint32_t length) {
  unsigned char head[kMaxOperationHead];
  std::size_t size = encode_operation({true, offset, length}, head);
  stream->append(reinterpret_cast<const char*>(head), size);
}

void append_insert(std::string* stream, const void* data, std::uint64_t length) {
  const char* bytes = static_cast<const char*>(data);
  while (length > 0) {
    auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, UINT32_MAX));
    unsigned char head[kMaxOperationHead];
    std::size_t size = encode_operation({false, 0, piece}, head);
    stream->append(reinterpret_cast<const char*>(head), size);
    stream->append(bytes, piece);
    bytes += piece;
    length -= piece;
  }
}
