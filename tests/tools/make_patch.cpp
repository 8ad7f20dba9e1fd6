// make-patch OUT ORIGINAL_NAME NEW_NAME SIZE_FIELD [OP...]
// Writes a patch file. Each OP is copy:OFFSET:LENGTH, insert:TEXT, or hex:BYTES (raw
// bytes put into the operation stream as they are, to build damaged patches).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/patch_writer.h"

namespace {

std::string hex_bytes(const char* hex) {
  std::string bytes;
  for (std::size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
    char pair[3] = {hex[i], hex[i + 1], '\0'};
    bytes.push_back(static_cast<char>(std::strtoul(pair, nullptr, 16)));
  }
  return bytes;
}

bool append_argument(std::string* stream, const char* arg) {
  if (std::strncmp(arg, "copy:", 5) == 0) {
    char* rest = nullptr;
    unsigned long offset = std::strtoul(arg + 5, &rest, 0);
    if (*rest != ':') return false;
    append_op(stream, copy_op(offset, std::strtoul(rest + 1, nullptr, 0)));
  } else if (std::strncmp(arg, "insert:", 7) == 0) {
    append_op(stream, insert_op(arg + 7));
  } else if (std::strncmp(arg, "hex:", 4) == 0) {
    stream->append(hex_bytes(arg + 4));
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: make-patch OUT ORIGINAL_NAME NEW_NAME SIZE_FIELD [OP...]\n");
    return 2;
  }
  std::string stream;
  for (int i = 5; i < argc; ++i) {
    if (!append_argument(&stream, argv[i])) {
      std::fprintf(stderr, "make-patch: bad operation '%s'\n", argv[i]);
      return 2;
    }
  }
  write_file(argv[1], stream + make_trailer(argv[2], argv[3], argv[4]));
  return 0;
}
