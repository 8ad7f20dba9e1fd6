// File access with the POSIX large-file calls: positions, positioned reads, identity,
// opening without waiting.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "files/files.h"

bool seek_to(FILE* stream, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
  return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0;
}

std::int64_t stream_size(FILE* stream) {
  off_t here = ftello(stream);
  if (here < 0 || fseeko(stream, 0, SEEK_END) != 0) return -1;
  off_t size = ftello(stream);
  fseeko(stream, here, SEEK_SET);
  return size;
}

// One pread per call: no seek, no stream buffer.
std::size_t read_at(FILE* stream, std::uint64_t offset, unsigned char* bytes, std::size_t count) {
  int fd = fileno(stream);
  std::size_t got = 0;
  while (got < count) {
    ssize_t read = pread(fd, bytes + got, count - got, static_cast<off_t>(offset + got));
    if (read < 0 && errno == EINTR) continue;
    if (read <= 0) break;
    got += static_cast<std::size_t>(read);
  }
  return got;
}

void prefer_large_pages(void* bytes, std::size_t size) {
  // madvise takes whole pages: the ones inside the buffer.
  auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  auto start = (reinterpret_cast<std::uintptr_t>(bytes) + page - 1) / page * page;
  auto end = (reinterpret_cast<std::uintptr_t>(bytes) + size) / page * page;
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

bool is_same_file(const char* path, FILE* stream) {
  struct stat chosen, open_file;
  if (stream == nullptr || stat(path, &chosen) != 0 || fstat(fileno(stream), &open_file) != 0) {
    return false;
  }
  return chosen.st_dev == open_file.st_dev && chosen.st_ino == open_file.st_ino;
}

namespace {

// Opens with O_NONBLOCK, which makes the open itself return at once, then clears it, so
// that reads and writes wait as usual.
FILE* open_without_waiting(const char* path, int flags, const char* mode) {
  int fd = open(path, flags | O_NONBLOCK);
  if (fd < 0) return nullptr;
  int now = fcntl(fd, F_GETFL);
  FILE* stream =
      now != -1 && fcntl(fd, F_SETFL, now & ~O_NONBLOCK) == 0 ? fdopen(fd, mode) : nullptr;
  if (stream == nullptr) close(fd);
  return stream;
}

}  // namespace

FILE* open_for_reading(const char* path) {
  return open_without_waiting(path, O_RDONLY, "rb");
}

FILE* open_for_writing_in_place(const char* path) {
  return open_without_waiting(path, O_WRONLY, "wb");
}

int last_system_error() {
  return errno;
}

const char* describe_system_error(int code, char* text, std::size_t capacity) {
  std::snprintf(text, capacity, "%s", std::strerror(code));
  return text;
}

bool is_regular_file(FILE* stream) {
  struct stat info;
  return fstat(fileno(stream), &info) == 0 && S_ISREG(info.st_mode);
}

bool open_missing_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free number is this one, since those below it are open by now.
    if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd) return false;
  }
  return true;
}
