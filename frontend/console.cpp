// Messages, waits and the fatal stop: the program's only channel to the user.
#include <cstdio>
#include <cstdlib>

#include "engine/patch.h"
#include "frontend/frontend.h"

namespace {

// Room for the longest text with every byte shown as a four-character escape.
char escaped_text[4 * kTrailerCapacity + 1];

}  // namespace

const char* printable(const char* text) {
  static const char kHex[] = "0123456789ABCDEF";
  char* out = escaped_text;
  char* last = escaped_text + sizeof escaped_text - 5;
  for (; *text != '\0' && out < last; ++text) {
    unsigned char byte = static_cast<unsigned char>(*text);
    if (byte >= 0x20 && byte != 0x7F) {
      *out++ = static_cast<char>(byte);
      continue;
    }
    *out++ = '\\';
    *out++ = 'x';
    *out++ = kHex[byte >> 4];
    *out++ = kHex[byte & 0xF];
  }
  *out = '\0';
  return escaped_text;
}

void show_message(const char* format, const char* text) {
  if (text == nullptr) {
    std::fputs(format, stdout);
  } else {
    std::printf(format, printable(text));
  }
  // On a console the text must be visible before the pause or wait that follows it.
  if (stdout_is_terminal()) std::fflush(stdout);
}

void wait_for_key() {
  (void)std::getchar();
}

void exit_program() {
  discard_pending_output();
  std::exit(1);
}

void fail_and_exit(const char* format, const char* text) {
  // A half-written new file goes before the user is asked for a key; the console may
  // be closed during the wait.
  discard_pending_output();
  show_message(format, text);
  wait_for_key();
  exit_program();
}
