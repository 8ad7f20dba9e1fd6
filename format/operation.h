// The operation stream: each operation is an op byte and one or two little-endian
// operands; an insert's data follows its head.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The longest operation head: op byte, 4-byte offset, 4-byte length.
constexpr std::size_t kMaxOperationHead = 9;

struct Operation {
  bool is_copy;          // copy from the original; otherwise insert from the patch
  std::uint32_t offset;  // copies only: absolute offset in the original
  std::uint32_t length;
};

// A read position over bytes in memory.
struct ByteCursor {
  const unsigned char* next;
  const unsigned char* end;
};

// Little-endian operand reads; false (and nothing consumed) when the bytes run out.
bool read_u8(ByteCursor* cursor, std::uint32_t* result);
bool read_u16_le(ByteCursor* cursor, std::uint32_t* result);
bool read_u32_le(ByteCursor* cursor, std::uint32_t* result);

// Decodes the operation head at `bytes`. Returns the bytes it takes (op byte and
// operands, not insert data), or 0 when `available` bytes do not hold it whole.
std::size_t decode_operation(const unsigned char* bytes, std::size_t available, Operation* op);

// Writes the shortest head for `op` (each operand in the fewest bytes that hold it) and
// returns its size.
std::size_t encode_operation(const Operation& op, unsigned char head[kMaxOperationHead]);

// Bytes of the shortest head of a copy or of an insert's head.
std::size_t copy_head_size(std::uint32_t offset, std::uint32_t length);
std::size_t insert_head_size(std::uint32_t length);

// The longest operation stream a patch can carry: readers take its end, where the
// trailer begins, as a 32-bit offset.
constexpr std::uint64_t kMaxOperationStream = UINT32_MAX;

// Bytes of the stream that inserts `length` bytes: the data and the head of each insert
// it takes. No stream that builds those bytes needs more.
std::uint64_t insert_stream_size(std::uint64_t length);

// Append whole operations to a stream with the shortest heads; an insert longer than
// one operation holds is split into several.
void append_copy(std::string* stream, std::uint32_t offset, std::uint32_t length);
void append_insert(std::string* stream, const void* data, std::uint64_t length);
