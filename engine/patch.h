// Reading a patch file: the trailer at its end and the operation stream before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "frontend/frontend.h"

// ---- Trailer -------------------------------------------------------------

// Bytes of the length field that closes every patch file.
constexpr std::size_t kLengthFieldSize = 5;

// How far a trailer got before it was found defective.
enum class TrailerDefect {
  none,
  no_signature,      // no first separator, or the text before it is not the signature
  no_original_name,  // no second separator
  no_new_name,       // no third separator; the original name was found
};

struct TrailerFields {
  TrailerDefect defect;
  const char* original_name;  // set once the second separator is found
  const char* new_name;       // set once the third separator is found
  std::int32_t expected_original_size;
};

// Reads a number: leading white space, an optional sign, decimal digits up to the
// first other byte; no digits give 0. Saturates instead of overflowing.
std::int64_t parse_number(const char* text);

// Length of the whole trailer (text plus length field) from the length field, or -1
// when the field is negative, does not fit the trailer buffer or exceeds the file.
std::int64_t trailer_length(const char field[kLengthFieldSize], std::uint64_t file_size);

// Splits the zero-terminated trailer text in place: separators become zero bytes and
// the names point into `text`. Neither prints nor stops.
TrailerFields parse_trailer(char* text);

// Validates the patch's trailer, prints the two names and fills the job. Stops the
// process on a defective patch. Leaves the patch stream at offset 0.
int read_patch_trailer(PatchJob* job);

// ---- Operation stream ----------------------------------------------------

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

// Rebuilds the new file from the original and the operation stream, then closes all
// three streams and moves the finished file into place. Stops the process with a
// message when the original does not fit, the patch is damaged or writing fails.
void apply_patch(PatchJob* job);

// ---- Files ---------------------------------------------------------------

// 64-bit positioning that works past 2 GiB on every platform.
bool seek_to(FILE* stream, std::uint64_t offset);
std::int64_t stream_size(FILE* stream);  // -1 when it cannot be told; position is kept

// Reads up to `count` bytes of `stream` at `offset` into `bytes`; fewer only where the
// file ends or a read fails. The stream's position afterwards is unspecified.
std::size_t read_at(FILE* stream, std::uint64_t offset, unsigned char* bytes, std::size_t count);

// ---- The new file --------------------------------------------------------

// Opens the new file for writing. A regular file is written to a temporary file in the
// destination's folder and only moved over the destination by commit_new_file, so a
// failed run leaves the destination as it was; a device or pipe is written in place.
// Returns null when the destination cannot be written.
FILE* open_new_file(PendingOutput* output, const char* path);

// Flushes and closes `stream` and moves the finished file into place. False on any
// error; the destination is then untouched and the temporary file removed.
bool commit_new_file(PendingOutput* output, FILE* stream);

// Closes and removes an unfinished new file, if there is one.
void discard_pending_output();

// Platform steps behind the three calls above.
bool prepare_destination(PendingOutput* output, const char* path);
FILE* create_temporary_file(PendingOutput* output);
bool flush_to_disk(FILE* stream);
bool replace_file(const char* temporary_path, const char* final_path);
