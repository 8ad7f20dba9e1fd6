// 64-bit stream positioning with the POSIX large-file calls.
#include <sys/types.h>

#include "engine/patch.h"

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
