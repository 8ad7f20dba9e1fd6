// Decoding operation heads from bytes in memory: widths, ignored bits, byte order.
#include <gtest/gtest.h>

#include <string>

#include "format/operation.h"

namespace {

// Operand bytes behind every op byte, distinct so that width and byte order show.
const std::string kOperands = "\x01\x02\x03\x04\x05\x06\x07\x08\x09";

struct DecodeCase {
  unsigned op_byte;
  bool is_copy;
  std::uint32_t offset;
  std::uint32_t length;
  std::size_t head;  // op byte and operands
};

const DecodeCase kCases[] = {
    // Copies: offset 1, 2 or 4 bytes by bits 1-2, length 1, 2 or 4 bytes by bits 3-4.
    {0x0B, true, 0x01, 0x02, 3},
    {0x13, true, 0x01, 0x0302, 4},
    {0x03, true, 0x01, 0x05040302, 6},
    {0x0D, true, 0x0201, 0x03, 4},
    {0x15, true, 0x0201, 0x0403, 5},
    {0x05, true, 0x0201, 0x06050403, 7},
    {0x09, true, 0x04030201, 0x05, 6},
    {0x11, true, 0x04030201, 0x0605, 7},
    {0x01, true, 0x04030201, 0x08070605, 9},
    // Inserts: length 1, 2 or 4 bytes by bits 1-2.
    {0x02, false, 0, 0x01, 2},
    {0x04, false, 0, 0x0201, 3},
    {0x00, false, 0, 0x04030201, 5},
    // Both width bits set: the one-byte width wins.
    {0x07, true, 0x01, 0x05040302, 6},
    {0x19, true, 0x04030201, 0x05, 6},
    {0x1F, true, 0x01, 0x02, 3},
    {0x06, false, 0, 0x01, 2},
    // Bits 5-7, and an insert's bits 3-4, change nothing.
    {0xEB, true, 0x01, 0x02, 3},
    {0x31, true, 0x04030201, 0x0605, 7},
    {0xFE, false, 0, 0x01, 2},
    {0x1C, false, 0, 0x0201, 3},
    {0x98, false, 0, 0x04030201, 5},
};

TEST(DecodeOperation, ReadsWidthsFromTheOpByteAndOperandsLittleEndian) {
  for (const DecodeCase& c : kCases) {
    std::string bytes = std::string(1, static_cast<char>(c.op_byte)) + kOperands;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    SCOPED_TRACE(testing::Message() << "op byte 0x" << std::hex << c.op_byte);
    Operation op{};
    EXPECT_EQ(decode_operation(data, bytes.size(), &op), c.head);
    EXPECT_EQ(op.is_copy, c.is_copy);
    EXPECT_EQ(op.offset, c.offset);
    EXPECT_EQ(op.length, c.length);
    // A head cut short at any of its bytes is not decoded.
    for (std::size_t available = 0; available < c.head; ++available)
      EXPECT_EQ(decode_operation(data, available, &op), 0u) << available << " bytes";
  }
}

TEST(DecodeOperation, OperandsAreUnsigned) {
  const unsigned char bytes[] = {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF};
  Operation op{};
  ASSERT_EQ(decode_operation(bytes, sizeof bytes, &op), 9u);
  EXPECT_EQ(op.offset, 0xFFFFFFFFu);
  EXPECT_EQ(op.length, 0xFFFFFFFEu);
}

TEST(DecodeOperation, IgnoredBitsNeverMatterForAnyOpByte) {
  for (unsigned op_byte = 0; op_byte < 256; ++op_byte) {
    unsigned meaningful = op_byte & ((op_byte & 1) ? 0x1F : 0x07);
    std::string with = std::string(1, static_cast<char>(op_byte)) + kOperands;
    std::string without = std::string(1, static_cast<char>(meaningful)) + kOperands;
    Operation a{}, b{};
    EXPECT_EQ(
        decode_operation(reinterpret_cast<const unsigned char*>(with.data()), with.size(), &a),
        decode_operation(reinterpret_cast<const unsigned char*>(without.data()), without.size(),
                         &b));
    EXPECT_EQ(a.is_copy, b.is_copy);
    EXPECT_EQ(a.offset, b.offset);
    EXPECT_EQ(a.length, b.length) << std::hex << op_byte;
  }
}

}  // namespace
