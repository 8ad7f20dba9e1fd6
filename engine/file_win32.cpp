// 64-bit stream positioning with the Windows runtime's large-file calls.
#include <stdio.h>

#include "engine/patch.h"

bool seek_to(FILE* stream, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
  return _fseeki64(stream, static_cast<__int64>(offset), SEEK_SET) == 0;
}

std::int64_t stream_size(FILE* stream) {
  __int64 here = _ftelli64(stream);
  if (here < 0 || _fseeki64(stream, 0, SEEK_END) != 0) return -1;
  __int64 size = _ftelli64(stream);
  _fseeki64(stream, here, SEEK_SET);
  return size;
}
