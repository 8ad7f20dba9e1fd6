// Names from a patch shown on a console: control characters become \xHH, so that a
// name cannot move the cursor or clear the screen.
#pragma once

#include <cstddef>

// Room `printable` needs for a text of `length` bytes, terminator included.
constexpr std::size_t printable_capacity(std::size_t length) {
  return 4 * length + 1;
}

// Writes `text` into `out` (cut to fit `capacity`) with control characters shown as
// \xHH, and returns `out`.
const char* printable(const char* text, char* out, std::size_t capacity);
