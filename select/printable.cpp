// Escaping control characters in names shown on a console.
#include "select/printable.h"

namespace {

// The UTF-8 form of a C1 control (U+0080 to U+009F), which a UTF-8 terminal may act on as
// it does on ESC: C2 80 to C2 9F.
bool is_c1_control(const unsigned char* bytes) {
  return bytes[0] == 0xC2 && bytes[1] >= 0x80 && bytes[1] <= 0x9F;
}

char* escape(unsigned char byte, char* next) {
  static const char kHex[] = "0123456789ABCDEF";
  *next++ = '\\';
  *next++ = 'x';
  *next++ = kHex[byte >> 4];
  *next++ = kHex[byte & 0xF];
  return next;
}

}  // namespace

bool is_control_byte(unsigned char byte) {
  return byte < 0x20 || byte == 0x7F;
}

const char* printable(const char* text, char* out, std::size_t capacity) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  char* next = out;
  char* last = out + capacity - 5;
  for (; *bytes != '\0' && next < last; ++bytes) {
    if (is_c1_control(bytes)) {
      if (next + 4 >= last) break;  // no room for both escapes: cut before the pair
      next = escape(*bytes++, next);
      next = escape(*bytes, next);
    } else if (is_control_byte(*bytes)) {
      next = escape(*bytes, next);
    } else {
      *next++ = static_cast<char>(*bytes);
    }
  }
  *next = '\0';
  return out;
}
