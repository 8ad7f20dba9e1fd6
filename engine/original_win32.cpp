// Reading the original at any offset through the runtime's stream: a seek, then one read.
#include "engine/patch.h"

std::size_t read_at(FILE* stream, std::uint64_t offset, unsigned char* bytes, std::size_t count) {
  if (!seek_to(stream, offset)) return 0;
  return std::fread(bytes, 1, count, stream);
}
