// The trailer that closes every patch file: "Quorvalex|ORIGINAL|NEW|" with an optional
// "SIZE|" and, behind it, optional checks (format/checks.h), then the trailer's length as
// a five-character decimal field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "format/checks.h"

// Bytes of the length field that closes every patch file.
constexpr std::size_t kLengthFieldSize = 5;

// The trailer buffer: the trailer text, its length field and a terminating zero.
constexpr std::size_t kTrailerCapacity = 4096;

// How far a trailer got before it was found defective.
enum class TrailerDefect {
  none,
  unreadable,        // the file is too short or its length field unusable (not parse_trailer's)
  no_signature,      // no first separator, or the text before it is not the signature
  no_original_name,  // no second separator
  no_new_name,       // no third separator; the original name was found
};

struct TrailerFields {
  TrailerDefect defect;
  const char* original_name;            // set once the second separator is found
  const char* new_name;                 // set once the third separator is found
  std::int32_t expected_original_size;  // 0: not checked
  PatchChecks checks;                   // the words behind the size; none when absent
};

// Reads a number: leading white space, an optional sign, decimal digits up to the
// first other byte; no digits give 0. Saturates instead of overflowing.
std::int64_t parse_number(const char* text);

// Length of the whole trailer (text plus length field) from the length field, or -1
// when the field is negative, does not fit the trailer buffer or exceeds the file.
std::int64_t trailer_length(const char field[kLengthFieldSize], std::uint64_t file_size);

// Splits the zero-terminated trailer text in place: separators become zero bytes and
// the names point into `text`.
TrailerFields parse_trailer(char* text);

// The size field that makes a reader check the original's size: "SIZE|", or nothing
// for a size the field cannot carry (0, or beyond a signed 32-bit number).
std::string size_field_for(std::uint64_t original_size);

// The trailer text with its length field, `size_field` stored as given. Empty when the
// names hold a separator or a zero byte, or the whole does not fit the trailer buffer.
std::string encode_trailer(std::string_view original_name, std::string_view new_name,
                           std::string_view size_field);
