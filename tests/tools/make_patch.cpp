// make-patch OUT ORIGINAL_NAME NEW_NAME SIZE_FIELD [OP...]
// Writes a patch file with the format's encoder. Each OP is copy:OFFSET:LENGTH or
// insert:TEXT.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "format/operation.h"
#include "format/trailer.h"

int main(int argc, char** argv) {
  std::string stream;
  for (int i = 5; i < argc; ++i) {
    char* rest = nullptr;
    if (std::strncmp(argv[i], "insert:", 7) == 0) {
      append_insert(&stream, argv[i] + 7, std::strlen(argv[i] + 7));
    } else if (std::strncmp(argv[i], "copy:", 5) == 0) {
      unsigned long offset = std::strtoul(argv[i] + 5, &rest, 0);
      append_copy(&stream, offset, std::strtoul(rest + 1, nullptr, 0));
    } else {
      argc = 0;
    }
  }
  if (argc < 5) {
    std::fprintf(stderr, "usage: make-patch OUT ORIGINAL_NAME NEW_NAME SIZE_FIELD [OP...]\n");
    return 2;
  }
  std::ofstream(argv[1], std::ios::binary) << stream + encode_trailer(argv[2], argv[3], argv[4]);
  return 0;
}
