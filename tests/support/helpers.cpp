#include "tests/support/helpers.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

std::string enter_scratch_folder() {
  char name[] = "/tmp/qv-test-XXXXXX";
  if (mkdtemp(name) == nullptr || chdir(name) != 0) std::abort();
  return name;
}

std::string read_file(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  if (!(std::ofstream(path, std::ios::binary) << bytes)) std::abort();
}
