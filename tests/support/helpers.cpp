#include "tests/support/helpers.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>

std::string make_scratch_folder(const char* base) {
  std::string name = std::string(base) + "/qv-test-XXXXXX";
  if (mkdtemp(name.data()) == nullptr) std::abort();
  return name + "/";
}

std::string enter_scratch_folder() {
  std::string name = make_scratch_folder("/tmp");
  if (chdir(name.c_str()) != 0) std::abort();
  return name;
}

std::string random_bytes(std::size_t size, unsigned seed, int alphabet) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes)
    byte = static_cast<char>(generator() % alphabet);
  return bytes;
}

std::string read_file(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  if (!(std::ofstream(path, std::ios::binary) << bytes)) std::abort();
}
