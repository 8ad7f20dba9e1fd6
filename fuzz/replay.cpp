// Replays fuzz inputs without libFuzzer, so that the committed corpus runs in the
// ordinary suite with any compiler: replay PATH... A folder is replayed file by file; a
// .txt file lists inputs beside it with the outcome each must have ("NAME OUTCOME").
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "engine/patch_job.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern JobOutcome last_outcome;

namespace {

const char* const kOutcomes[] = {"complete",      "patch_missing",     "not_valid",
                                 "no_new_name",   "original_unusable", "destination_refused",
                                 "damaged_patch", "wrong_original",    "write_failed"};

void replay(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  char scratch[] = "/tmp/qv-replay-XXXXXX";
  if (mkdtemp(scratch) == nullptr || setenv("QV_FUZZ_SCRATCH", scratch, 1) != 0) return 2;
  int count = 0, wrong = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path path = argv[i];
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (entry.path().extension() != ".txt") replay(entry.path()), ++count;
      }
      continue;
    }
    std::ifstream list(path);
    for (std::string name, outcome; list >> name >> outcome; ++count) {
      replay(path.parent_path() / name);
      if (outcome != kOutcomes[static_cast<int>(last_outcome)]) {
        std::printf("%s: %s, expected %s\n", name.c_str(),
                    kOutcomes[static_cast<int>(last_outcome)], outcome.c_str());
        ++wrong;
      }
    }
  }
  std::filesystem::remove_all(scratch);
  std::printf("%d inputs replayed, %d with another outcome\n", count, wrong);
  return count > 0 && wrong == 0 ? 0 : 1;
}
