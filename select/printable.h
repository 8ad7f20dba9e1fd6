// Names from a patch shown on a console: control characters become \xHH, so that a
// name cannot move the cursor or clear the screen.
#pragma once

#include <cstddef>

// Room `printable` needs for a text of `length` bytes, terminator included.
constexpr std::size_t printable_capacity(std::size_t length) {
  return 4 * length + 1;
}

// True for the bytes that are control characters in any character set: below 0x20, and
// 0x7F.
bool is_control_byte(unsigned char byte);

// Writes `text` into `out` (cut to fit `capacity`) with control characters shown as
// \xHH, the UTF-8 forms of the C1 controls as \xC2\xHH, and returns `out`.
const char* printable(const char* text, char* out, std::size_t capacity);
