// Reading the original: positioned reads with pread (no seek, no stream buffer), and
// long copies inside the kernel with copy_file_range.
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "engine/patch.h"

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

// The kernel copies from page cache to page cache: one copy of the data instead of the
// two of a read and a write. It refuses pipes, devices and some pairs of file systems;
// the caller then moves the bytes itself.
std::uint64_t copy_in_system(FILE* destination, FILE* source, std::uint64_t offset,
                             std::uint64_t length) {
  std::uint64_t moved = 0;
  while (moved < length) {
    off64_t from = static_cast<off64_t>(offset + moved);
    std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length - moved, 1u << 30));
    ssize_t copied = copy_file_range(fileno(source), &from, fileno(destination), nullptr, chunk, 0);
    if (copied < 0 && errno == EINTR) continue;
    if (copied <= 0) break;
    moved += static_cast<std::uint64_t>(copied);
  }
  return moved;
}
