// Windows side of the command line. The .exe runs in the UTF-8 code page (its manifest,
// cli/quorvalex.manifest), so that every path reaches the file system as typed; the
// player's program runs in the system's ANSI code page, so names are stored in that one.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "cli/platform.h"

namespace {

// The code page the player's program shows names in.
UINT players_code_page() {
  DWORD code_page = 0;
  int got =
      GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                     reinterpret_cast<LPWSTR>(&code_page), sizeof code_page / sizeof(WCHAR));
  return got == 0 ? GetACP() : code_page;
}

}  // namespace

bool is_help_switch(const char* argument) {
  return std::strcmp(argument, "/?") == 0;
}

bool is_existing_file(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The runtime refuses to open a folder; what is left is a device such as NUL.
int not_regular_reason(FILE*) {
  return 0;
}

void set_binary_output(FILE* stream) {
  _setmode(_fileno(stream), _O_BINARY);
}

bool name_for_players(const char* name, std::string* stored) {
  UINT code_page = players_code_page();
  // Where Windows ignores the manifest, the arguments came in that code page already.
  if (code_page == CP_UTF8 || code_page == GetACP()) {
    *stored = name;
    return true;
  }
  int wide_length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0);
  if (wide_length == 0) return false;
  std::wstring wide(static_cast<std::size_t>(wide_length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, name, -1, &wide[0], wide_length);
  // No best fit: "Ω" must not become "O", a name the player never gave.
  BOOL defaulted = FALSE;
  int length = WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, nullptr, 0,
                                   nullptr, &defaulted);
  if (length == 0 || defaulted) return false;
  stored->assign(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, &(*stored)[0], length,
                      nullptr, nullptr);
  stored->resize(static_cast<std::size_t>(length) - 1);
  return true;
}
