// Escaping control characters in names shown on a console.
#include "select/printable.h"

const char* printable(const char* text, char* out, std::size_t capacity) {
  static const char kHex[] = "0123456789ABCDEF";
  char* next = out;
  char* last = out + capacity - 5;
  for (; *text != '\0' && next < last; ++text) {
    unsigned char byte = static_cast<unsigned char>(*text);
    if (byte >= 0x20 && byte != 0x7F) {
      *next++ = static_cast<char>(byte);
      continue;
    }
    *next++ = '\\';
    *next++ = 'x';
    *next++ = kHex[byte >> 4];
    *next++ = kHex[byte & 0xF];
  }
  *next = '\0';
  return out;
}
