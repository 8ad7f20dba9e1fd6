// Replays fuzz inputs through a target without libFuzzer, so that the committed corpus
// runs in the ordinary test suite with any compiler: replay FILE_OR_FOLDER...
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int replay(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) fuzz_fail(("cannot find " + path).c_str());
  if (!S_ISDIR(info.st_mode)) {
    std::string bytes;
    if (!read_whole_file(path, &bytes)) fuzz_fail(("cannot read " + path).c_str());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return 1;
  }
  int count = 0;
  DIR* folder = opendir(path.c_str());
  while (dirent* entry = readdir(folder)) {
    if (entry->d_name[0] != '.') count += replay(path + "/" + entry->d_name);
  }
  closedir(folder);
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 0;
  for (int i = 1; i < argc; ++i)
    count += replay(argv[i]);
  std::printf("%d inputs replayed\n", count);
  return count > 0 ? 0 : 1;
}
