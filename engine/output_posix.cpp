// POSIX side of writing the new file: a temporary file in the destination's folder,
// renamed over the destination once complete.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "engine/output_platform.h"

namespace {

unsigned default_file_mode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666u & ~mask;
}

// Length of the folder part of `path`, up to and including the last slash.
std::size_t folder_length(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
}

}  // namespace

bool prepare_destination(PendingOutput* output, const char* path) {
  if (std::strlen(path) >= sizeof output->final_path) return false;
  std::strcpy(output->final_path, path);
  struct stat target;
  if (stat(path, &target) != 0) {
    output->mode = default_file_mode();
    return true;
  }
  if (S_ISDIR(target.st_mode)) return false;
  if (!S_ISREG(target.st_mode)) {
    output->in_place = true;
    return true;
  }
  // A file that could not be opened for writing is refused, as before.
  if (access(path, W_OK) != 0) return false;
  // Through a symbolic link the file it points to is replaced, not the link.
  char resolved[PATH_MAX];
  struct stat link;
  if (lstat(path, &link) == 0 && S_ISLNK(link.st_mode) && realpath(path, resolved) != nullptr) {
    if (std::strlen(resolved) >= sizeof output->final_path) return false;
    std::strcpy(output->final_path, resolved);
  }
  output->mode = target.st_mode & 07777;
  return true;
}

FILE* create_temporary_file(PendingOutput* output) {
  std::size_t folder = folder_length(output->final_path);
  std::snprintf(output->temporary_path, sizeof output->temporary_path, "%.*s.quorvalex-XXXXXX",
                static_cast<int>(folder), output->final_path);
  int fd = mkstemp(output->temporary_path);
  if (fd < 0) return nullptr;
  FILE* stream = fchmod(fd, output->mode) == 0 ? fdopen(fd, "wb") : nullptr;
  if (stream == nullptr) {
    close(fd);
    unlink(output->temporary_path);
  }
  return stream;
}

bool flush_to_disk(FILE* stream) {
  struct stat info;
  if (fstat(fileno(stream), &info) != 0) return false;
  // Only a regular file can and need be synced; a pipe or terminal cannot.
  return !S_ISREG(info.st_mode) || fsync(fileno(stream)) == 0;
}

bool replace_file(const char* temporary_path, const char* final_path) {
  return std::rename(temporary_path, final_path) == 0;
}
