// POSIX side of writing the new file: a temporary file in the destination's folder,
// renamed over the destination once complete.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "files/files.h"
#include "files/output_platform.h"

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

// More links than the system follows in one path: a loop, which no name can end.
constexpr int kMaxLinks = 40;

// True when the system reaches a file through `link` that the name `target` it gives
// does not name: a link of /proc/self/fd, whose target is a pipe's "pipe:[N]", a socket's
// "socket:[N]" or "anon_inode:...", is no path and is opened as it is.
bool target_is_no_path(const char* link, const char* target) {
  struct stat through;
  struct stat named;
  if (stat(link, &through) != 0) return false;
  return stat(target, &named) != 0 || named.st_dev != through.st_dev ||
         named.st_ino != through.st_ino;
}

// Follows the symbolic links that `path` (capacity kOutputPathCapacity) names, in place,
// to the name where they end, whether a file exists there or not. The new file goes
// there, so that the links stay links, also one whose file does not exist yet. False on
// a loop or a name too long, with errno telling which.
bool follow_links(char* path) {
  for (int hops = 0; hops < kMaxLinks; ++hops) {
    char target[PATH_MAX];
    ssize_t length = readlink(path, target, sizeof target - 1);
    if (length < 0) return true;  // not a link: the end
    target[length] = '\0';
    // A relative target is relative to the link's folder.
    int folder = target[0] == '/' ? 0 : static_cast<int>(folder_length(path));
    char next[kOutputPathCapacity];
    int written = std::snprintf(next, sizeof next, "%.*s%s", folder, path, target);
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof next) {
      errno = ENAMETOOLONG;
      return false;
    }
    if (target_is_no_path(path, next)) return true;
    std::strcpy(path, next);
  }
  errno = ELOOP;
  return false;
}

// The new file in `fd` takes the existing destination's owner and group. Where it
// cannot, or where the destination has other hard links, renaming it over the
// destination would change whom the file belongs to or split its names, so it is to be
// copied into the destination instead. Ahead of fchmod, since fchown may clear the
// set-id bits.
void keep_owner_or_copy(PendingOutput* output, int fd) {
  struct stat target;
  if (stat(output->final_path, &target) != 0) return;
  output->copy_into_place = target.st_nlink > 1 || fchown(fd, target.st_uid, target.st_gid) != 0;
}

}  // namespace

bool prepare_destination(PendingOutput* output, const char* path) {
  if (std::strlen(path) >= sizeof output->final_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::strcpy(output->final_path, path);
  if (!follow_links(output->final_path)) return false;
  struct stat target;
  if (stat(path, &target) != 0) {
    output->mode = default_file_mode();
    return true;
  }
  if (S_ISDIR(target.st_mode)) {
    errno = EISDIR;
    return false;
  }
  if (!S_ISREG(target.st_mode)) {
    output->in_place = true;
    return true;
  }
  // A file that could not be opened for writing is refused, as before.
  if (access(path, W_OK) != 0) return false;
  output->mode = target.st_mode & 07777;
  return true;
}

FILE* create_temporary_file(PendingOutput* output) {
  std::size_t folder = folder_length(output->final_path);
  std::snprintf(output->temporary_path, sizeof output->temporary_path, "%.*s.quorvalex-XXXXXX",
                static_cast<int>(folder), output->final_path);
  int fd = mkstemp(output->temporary_path);
  if (fd < 0) return nullptr;
  keep_owner_or_copy(output, fd);
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

// Only the room behind the old end is reserved: the blocks before it are the file's
// already. Where the file system cannot allocate, glibc writes a zero into each block
// instead, which behind the old end needs no reading (the file is open for writing only).
bool reserve_length(FILE* target, std::uint64_t length) {
  int fd = fileno(target);
  struct stat info;
  if (fstat(fd, &info) != 0) return false;
  std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
  if (length <= size) return true;
  int result = posix_fallocate(fd, info.st_size, static_cast<off_t>(length - size));
  if (result == 0) return true;
  // A reservation that failed part way may have made the file longer.
  if (ftruncate(fd, info.st_size) != 0) return false;
  errno = result;
  return false;
}

bool cut_to_length(FILE* target, std::uint64_t length) {
  return std::fflush(target) == 0 && ftruncate(fileno(target), static_cast<off_t>(length)) == 0;
}
