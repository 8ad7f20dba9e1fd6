// File identity and opening rules on POSIX systems.
#include <sys/stat.h>

#include "select/select.h"

bool is_same_file(const char* path, FILE* stream) {
  struct stat chosen, open_file;
  if (stream == nullptr || stat(path, &chosen) != 0 || fstat(fileno(stream), &open_file) != 0) {
    return false;
  }
  return chosen.st_dev == open_file.st_dev && chosen.st_ino == open_file.st_ino;
}

FILE* open_original_file(const char* path) {
  FILE* stream = std::fopen(path, "rb");
  struct stat info;
  if (stream != nullptr && (fstat(fileno(stream), &info) != 0 || !S_ISREG(info.st_mode))) {
    std::fclose(stream);
    return nullptr;
  }
  return stream;
}
