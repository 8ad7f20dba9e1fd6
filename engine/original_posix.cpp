// Reading the original at any offset with one pread per call: no seek, no stream buffer.
#include <unistd.h>

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
