// The fuzz target on the committed corpus, and on the bad-input catalogue, each input
// with the outcome its job must have (tests/data/bad/outcomes.txt).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "engine/patch_job.h"
#include "tests/support/helpers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern JobOutcome last_outcome;

namespace {

JobOutcome replay(const std::filesystem::path& path) {
  std::string bytes = read_file(path);
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return last_outcome;
}

TEST(FuzzTarget, ReplaysTheCorpusAndTheCatalogue) {
  std::string folder = enter_scratch_folder();
  ASSERT_EQ(setenv("QV_FUZZ_SCRATCH", folder.c_str(), 1), 0);
  for (const auto& entry : std::filesystem::directory_iterator(QV_SOURCE_DIR "/fuzz/corpus/job"))
    replay(entry.path());
  const char* const names[] = {"complete",      "patch_missing",     "not_valid",
                               "no_new_name",   "original_unusable", "destination_refused",
                               "damaged_patch", "wrong_original",    "write_failed"};
  std::ifstream list(QV_SOURCE_DIR "/tests/data/bad/outcomes.txt");
  int inputs = 0;
  for (std::string name, outcome; list >> name >> outcome; ++inputs)
    EXPECT_EQ(names[static_cast<int>(replay(QV_SOURCE_DIR "/tests/data/bad/" + name))], outcome)
        << name;
  EXPECT_GT(inputs, 40);
  std::filesystem::remove_all(folder);
}

}  // namespace
