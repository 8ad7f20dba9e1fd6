#include "tests/support/fakes.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "frontend/link_seams.h"

std::vector<unsigned> recorded_pauses;
std::vector<ChooserCall> chooser_calls;
std::vector<std::optional<std::string>> chooser_answers;

namespace {

ChooserResult scripted_chooser(bool save, char* path, const char* title) {
  chooser_calls.push_back({save, path, title});
  if (chooser_calls.size() > chooser_answers.size()) {
    ADD_FAILURE() << "chooser shown with no scripted answer left";
    std::_Exit(3);
  }
  const std::optional<std::string>& answer = chooser_answers[chooser_calls.size() - 1];
  if (!answer) return ChooserResult::cancelled;
  std::snprintf(path, kPathCapacity, "%s", answer->c_str());
  return ChooserResult::chosen;
}

}  // namespace

void pause_ms(unsigned milliseconds) {
  recorded_pauses.push_back(milliseconds);
}

ChooserResult choose_file_to_open(char* path, const char* title) {
  return scripted_chooser(false, path, title);
}

ChooserResult choose_file_to_save(char* path, const char* title) {
  return scripted_chooser(true, path, title);
}

void reset_fakes() {
  recorded_pauses.clear();
  chooser_calls.clear();
  chooser_answers.clear();
}

void feed_stdin(const std::string& text) {
  char name[] = "/tmp/qv-stdin-XXXXXX";
  close(mkstemp(name));
  write_file(name, text);
  ASSERT_NE(std::freopen(name, "rb", stdin), nullptr);
  unlink(name);
}

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
  EXPECT_TRUE(std::ofstream(path, std::ios::binary) << bytes) << path;
}

int main(int argc, char** argv) {
  // No test may wait on a real keyboard.
  if (std::freopen("/dev/null", "rb", stdin) == nullptr) return 2;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
