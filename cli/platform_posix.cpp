// POSIX side of the command line: names are stored as given, byte for byte.
#include <sys/stat.h>

#include <cerrno>

#include "cli/platform.h"

bool is_help_switch(const char*) {
  return false;
}

bool is_existing_file(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

int not_regular_reason(FILE* stream) {
  struct stat info;
  return fstat(fileno(stream), &info) == 0 && S_ISDIR(info.st_mode) ? EISDIR : 0;
}

void set_binary_output(FILE*) {}

bool name_for_players(const char* name, std::string* stored) {
  *stored = name;
  return true;
}
