// The selection loops with scripted choosers, and the fatal stop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "frontend/frontend.h"
#include "frontend/messages.h"
#include "select/choosers.h"
#include "tests/support/fakes.h"

namespace {

using Answers = std::vector<std::optional<std::string>>;
const std::optional<std::string> cancel;
const std::string kOpenFailed = msg::kOpenFailed, kCancelled = msg::kChooserCancelled;

std::string filled(const char* format, const std::string& name) {
  char text[kPathCapacity];
  std::snprintf(text, sizeof text, format, name.c_str());
  return text;
}

// Runs the loop of the original (or of the destination) in a folder holding the original
// a.dat, the patch, a folder, links to a.dat and a link loop; returns what it printed.
std::string run_loop(bool save, const Answers& answers, const std::string& name, char* path) {
  reset_fakes();
  chooser_answers = answers;
  std::string folder = enter_scratch_folder();
  write_file("a.dat", "original");
  write_file(msg::kPatchFileName, "patch");
  EXPECT_TRUE(mkdir("sub", 0755) == 0 && link("a.dat", "hard") == 0 &&
              symlink("a.dat", "soft") == 0 && symlink("loop", "loop") == 0);
  static PatchJob job;
  job.patch_stream = std::fopen(msg::kPatchFileName, "rb");
  if (save) job.original_stream = std::fopen("a.dat", "rb");
  feed_stdin("12+");  // one key per cancel
  testing::internal::CaptureStdout();
  (save ? select_new_file : select_original_file)(&job, name.c_str(), path);
  std::string said = testing::internal::GetCapturedStdout();
  int cancels = static_cast<int>(std::count(answers.begin(), answers.end(), cancel));
  EXPECT_EQ(std::getchar(), "12+"[cancels]);
  EXPECT_NE(save ? job.output.stream : job.original_stream, nullptr);
  close_patch_job(&job);
  EXPECT_EQ(read_file("a.dat"), "original");
  EXPECT_EQ(read_file(msg::kPatchFileName), "patch");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}), 6);
  EXPECT_EQ(chdir("/"), 0);
  std::filesystem::remove_all(folder);
  return said;
}

// Cancels and failed opens, each followed by the chooser pre-filled with the trailer's
// name again; a pause before the first showing and after a failed open.
TEST(Selection, LoopsAskAgainWithTheTrailersName) {
  struct {
    bool save;
    Answers answers;
    std::string said;  // after the prompt
    std::vector<unsigned> pauses;
  } cases[] = {
      {false, {cancel, cancel, "a.dat"}, kCancelled + kCancelled, {500}},
      {false, {"missing.dat", "a.dat"}, kOpenFailed, {500, 2000}},
      {false, {"sub", "a.dat\n", "a.dat"}, kOpenFailed + kOpenFailed, {500, 2000, 2000}},
      {false, {cancel, "x/y", "soft"}, kCancelled + kOpenFailed, {500, 2000}},
      {true, {cancel, cancel, "b.dat"}, kCancelled + kCancelled, {1000}},
      {true, {"b\x7f", "b\".dat"}, kOpenFailed, {1000, 1000}},
      {true, {cancel, "sub", "b.dat"}, kCancelled + kOpenFailed, {1000, 1000}},
  };
  // Each refused destination: the open-failure message, 1000 ms, the chooser again.
  for (const char* refused : {"no/such/b.dat", "a.dat", "./a.dat", "sub/../a.dat", "hard", "soft",
                              "Amber Reaches update.dat", "loop"}) {
    cases[6].answers[1] = refused;
    for (const auto& c : cases) {
      SCOPED_TRACE(refused + std::string(c.save ? " destination " : " original ") + c.said);
      char path[kPathCapacity];
      const char* name = c.save ? "b.dat" : "a.dat";
      std::string prompt = filled(c.save ? msg::kChooseNew : msg::kChooseOriginal, name);
      EXPECT_EQ(run_loop(c.save, c.answers, name, path), prompt + c.said);
      EXPECT_EQ(recorded_pauses, c.pauses);
      EXPECT_STREQ(path,
                   c.answers.back()->substr(0, 1) == "\"" ? "a.dat" : c.answers.back()->c_str());
      ASSERT_EQ(chooser_calls.size(), c.answers.size());
      for (const ChooserCall& call : chooser_calls) {
        EXPECT_EQ(call.save, c.save);
        EXPECT_EQ(call.prefilled, name);
        EXPECT_EQ(call.title, filled(c.save ? msg::kNewTitle : msg::kOriginalTitle, name));
      }
    }
  }
}

TEST(Selection, OverlongTrailerNamesAreCutToFit) {
  char path[kPathCapacity];
  for (bool save : {false, true}) {
    std::string name(3000, save ? 'n' : 'o');
    run_loop(save, {cancel, save ? "b.dat" : "a.dat"}, name, path);
    ASSERT_EQ(chooser_calls.size(), 2u);
    EXPECT_EQ(chooser_calls[0].prefilled, name.substr(0, 2047));
    EXPECT_EQ(chooser_calls[0].title,
              filled(save ? msg::kNewTitle : msg::kOriginalTitle, name).substr(0, 255));
  }
}

// A name from the patch is pre-filled without its folder, and shown whole in the title.
TEST(Selection, SuggestedNamesArePrefilledAsFileNamesOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {"..\\esc.dat", "esc.dat"}, {"a/b/c.dat", "c.dat"}, {"..", ""}, {"x/.", ""}, {"x/", ""}};
  for (const auto& [name, prefilled] : cases) {
    char path[kPathCapacity];
    run_loop(false, {"a.dat"}, name, path);
    ASSERT_EQ(chooser_calls.size(), 1u);
    EXPECT_EQ(chooser_calls[0].prefilled, prefilled) << name;
    EXPECT_EQ(chooser_calls[0].title, filled(msg::kOriginalTitle, name));
  }
}

// A fatal message: shown, one key waited for, then the end with status 1.
TEST(FailAndExit, WaitsForAKeyAndExitsWithOne) {
  feed_stdin("xy");
  EXPECT_EXIT(fail_and_exit(msg::kNotValid, "a"), testing::ExitedWithCode(1), "");
  EXPECT_GT(lseek(0, 0, SEEK_CUR), 0);
}

}  // namespace
