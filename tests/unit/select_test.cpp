// The selection loops with scripted choosers, and the path cleaning they rely on.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "frontend/frontend.h"
#include "select/console_chooser.h"
#include "tests/support/fakes.h"
#include "tests/support/patch_writer.h"

namespace {

using Answers = std::vector<std::optional<std::string>>;
const std::optional<std::string> cancel;

const std::string kOpenFailed = "Sorry, can't open that file.  Try again...\n";
const std::string kCancelled = "Hit Enter to try again, or close window to exit\n";
const std::string kOriginalPrompt =
    "Choose the file \"a.dat\" (probably in Vardoun\\plugins folder)\n";
const std::string kNewPrompt =
    "Choose where to save the new file \"b.dat\" (Vardoun\\plugins folder is a good place)\n";

// A scratch folder holding the original a.dat, the patch, a folder, links to a.dat and
// a link loop.
class Selection : public testing::Test {
 protected:
  void SetUp() override {
    reset_fakes();
    folder_ = enter_scratch_folder();
    write_file("a.dat", "original");
    write_file(msg_patch, "patch");
    ASSERT_EQ(mkdir("sub", 0755), 0);
    ASSERT_EQ(link("a.dat", "hard"), 0);
    ASSERT_EQ(symlink("a.dat", "soft"), 0);
    ASSERT_EQ(symlink("loop", "loop"), 0);
    job_.patch_stream = std::fopen(msg_patch, "rb");
  }
  void TearDown() override {
    close_patch_job(&job_);
    ASSERT_EQ(chdir("/"), 0);
    std::filesystem::remove_all(folder_);
  }
  using Loop = void (*)(PatchJob*, const char*, char*);

  // Runs `loop` with the scripted answers and returns what it printed.
  std::string run(Loop loop, const Answers& answers, const char* name = nullptr) {
    chooser_answers.insert(chooser_answers.end(), answers.begin(), answers.end());
    testing::internal::CaptureStdout();
    if (name == nullptr) name = loop == select_new_file ? "b.dat" : "a.dat";
    loop(&job_, name, loop == select_new_file ? new_path_ : original_path_);
    return testing::internal::GetCapturedStdout();
  }

  static constexpr const char* msg_patch = "Amber Reaches update.dat";
  std::string folder_;
  PatchJob job_{};
  char original_path_[kPathCapacity] = "";
  char new_path_[kPathCapacity] = "";
};

// Cancels and failed opens, each followed by the chooser pre-filled with the trailer's
// name again; a pause only before the first showing and after a failed open.
TEST_F(Selection, LoopsRetryWithTheTrailersName) {
  struct {
    const char* label;
    bool save;  // the destination loop
    Answers answers;
    std::string said;  // after the prompt
    std::vector<unsigned> pauses;
    const char* chosen;
  } cases[] = {
      {"two cancels", false, {cancel, cancel, "a.dat"}, kCancelled + kCancelled, {500}, "a.dat"},
      {"missing file", false, {"missing.dat", "a.dat"}, kOpenFailed, {500, 2000}, "a.dat"},
      {"a folder, a line end",
       false,
       {"sub", "a.dat\n", "a.dat"},
       kOpenFailed + kOpenFailed,
       {500, 2000, 2000},
       "a.dat"},
      {"cancel, missing",
       false,
       {cancel, "x/y", "soft"},
       kCancelled + kOpenFailed,
       {500, 2000},
       "soft"},
      {"two cancels", true, {cancel, cancel, "b.dat"}, kCancelled + kCancelled, {1000}, "b.dat"},
      {"cancel, a folder",
       true,
       {cancel, "sub", "b.dat"},
       kCancelled + kOpenFailed,
       {1000, 1000},
       "b.dat"},
      {"control byte, quote", true, {"b\x7f", "b\".dat"}, kOpenFailed, {1000, 1000}, "b\".dat"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.label) + (c.save ? " (destination)" : ""));
    TearDown();
    SetUp();
    feed_stdin("12+");  // one key per cancel
    EXPECT_EQ(run(c.save ? select_new_file : select_original_file, c.answers),
              (c.save ? kNewPrompt : kOriginalPrompt) + c.said);
    EXPECT_EQ(recorded_pauses, c.pauses);
    ASSERT_EQ(chooser_calls.size(), c.answers.size());
    for (const ChooserCall& call : chooser_calls) {
      EXPECT_EQ(call.save, c.save);
      EXPECT_EQ(call.prefilled, c.save ? "b.dat" : "a.dat");
      EXPECT_EQ(call.title,
                c.save ? "Where should the file \"b.dat\" be saved?" : "Select \"a.dat\"");
    }
    EXPECT_STREQ(c.save ? new_path_ : original_path_, c.chosen);
    EXPECT_NE(c.save ? job_.output.stream : job_.original_stream, nullptr);
    int cancels = static_cast<int>(std::count(c.answers.begin(), c.answers.end(), cancel));
    EXPECT_EQ(std::getchar(), "12+"[cancels]);
  }
}

// Each refused destination: the open-failure message, 1000 ms, the chooser again, and
// neither the original nor the patch touched.
TEST_F(Selection, DestinationLoopRefusesWhatCannotOrMustNotBeWritten) {
  const char* refused[] = {"sub",  "no/such/b.dat", "a.dat", "./a.dat", "sub/../a.dat",
                           "hard", "soft",          "",      msg_patch, "loop"};
  for (const char* answer : refused) {
    SCOPED_TRACE(answer);
    TearDown();
    SetUp();
    job_.original_stream = std::fopen("a.dat", "rb");
    std::string name = answer[0] != '\0' ? answer : folder_ + "/a.dat";
    EXPECT_EQ(run(select_new_file, {name, "b.dat"}), kNewPrompt + kOpenFailed);
    EXPECT_EQ(recorded_pauses, (std::vector<unsigned>{1000, 1000}));
    ASSERT_EQ(chooser_calls.size(), 2u);
    EXPECT_EQ(chooser_calls[1].prefilled, "b.dat");
    EXPECT_STREQ(new_path_, "b.dat");
    discard_new_file(&job_.output);
    EXPECT_EQ(read_file("a.dat"), "original");
    EXPECT_EQ(read_file(msg_patch), "patch");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}), 6);
  }
}

TEST_F(Selection, OverlongTrailerNamesAreCutToFit) {
  std::string original(3000, 'o'), fresh(3000, 'n');
  run(select_original_file, {cancel, "a.dat"}, original.c_str());
  run(select_new_file, {cancel, "b.dat"}, fresh.c_str());
  ASSERT_EQ(chooser_calls.size(), 4u);
  for (const ChooserCall& call : chooser_calls) {
    EXPECT_EQ(call.prefilled, (call.save ? fresh : original).substr(0, 2047));
    EXPECT_EQ(call.title.size(), 255u);
  }
  EXPECT_EQ(chooser_calls[0].title.substr(0, 9), "Select \"o");
  EXPECT_EQ(chooser_calls[2].title.substr(0, 24), "Where should the file \"n");
}

// A name from the patch is pre-filled without its folder, and shown whole in the title.
TEST_F(Selection, SuggestedNamesArePrefilledAsFileNamesOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {"..\\esc.dat", "esc.dat"}, {"a/b/c.dat", "c.dat"}, {"..", ""}, {"x/.", ""}, {"x/", ""}};
  for (const auto& [name, prefilled] : cases) {
    TearDown();
    SetUp();
    run(select_original_file, {"a.dat"}, name);
    ASSERT_EQ(chooser_calls.size(), 1u);
    EXPECT_EQ(chooser_calls[0].prefilled, prefilled) << name;
    EXPECT_EQ(chooser_calls[0].title, "Select \"" + std::string(name) + "\"");
  }
}

// Runs `rewrite` in place on each text and compares with what it must become.
void expect_rewrites(void (*rewrite)(char*),
                     std::initializer_list<std::pair<const char*, const char*>> cases) {
  for (const auto& [text, rewritten] : cases) {
    char buffer[kPathCapacity];
    std::snprintf(buffer, sizeof buffer, "%s", text);
    rewrite(buffer);
    EXPECT_STREQ(buffer, rewritten) << text;
  }
}

TEST(CleanChosenPath, DropsOneLeadingQuoteAndCutsAtLineEndsAndQuotes) {
  expect_rewrites(clean_chosen_path, {{"C:\\x\\a.dat", "C:\\x\\a.dat"},
                                      {"\"C:\\a b\\x.dat\"", "C:\\a b\\x.dat"},
                                      {"\"C:\\x.dat", "C:\\x.dat"},
                                      {"a.dat\nb", "a.dat"},
                                      {"a.dat\r\n", "a.dat"},
                                      {"a\rb\nc", "a"},
                                      {"ab\"cd\"", "ab"},
                                      {"\"\"a", ""},
                                      {"\"", ""},
                                      {"", ""},
                                      {"\"\na", ""},
                                      {"'a.dat'", "'a.dat'"}});
}

TEST(TrimAnswer, DropsLineEndBlanksAndOnePairOfQuotes) {
  expect_rewrites(trim_answer, {{"a.dat\n", "a.dat"},
                                {"a.dat\r\n", "a.dat"},
                                {" \ta b.dat \r\n", "a b.dat"},
                                {"\"a b.dat\"\n", "a b.dat"},
                                {"'a b.dat'", "a b.dat"},
                                {"  \"x\"  \n", "x"},
                                {"\" a \"", " a "},
                                {"\"\"a\"\"", "\"a\""},
                                {"\"x'", "\"x'"},
                                {"'x", "'x"},
                                {"\"", "\""},
                                {"''", ""},
                                {"", ""},
                                {" \r\n", ""},
                                {"it's", "it's"}});
}

TEST_F(Selection, AbsolutePathResolvesTheFolderAndKeepsTheName) {
  char here[PATH_MAX];
  ASSERT_NE(realpath(".", here), nullptr);
  std::string cwd = here;
  std::string deep(PATH_MAX + 10, 'd');
  struct {
    std::string answer;
    const char* expected;  // after the current folder; nullptr when refused
  } cases[] = {
      {"a.dat", "/a.dat"},  {"soft", "/soft"},      {"sub/x", "/sub/x"}, {"./sub/../x", "/x"},
      {"sub//x", "/sub/x"}, {cwd + "/x", "/x"},     {"sub/", "/sub/"},   {"nosuch/x", nullptr},
      {"a.dat/x", nullptr}, {deep + "/x", nullptr}, {deep, nullptr},
  };
  for (const auto& c : cases) {
    char result[kPathCapacity];
    bool made = absolute_path(c.answer.c_str(), result, sizeof result);
    EXPECT_EQ(made, c.expected != nullptr) << c.answer;
    if (made && c.expected != nullptr) {
      EXPECT_EQ(result, cwd + c.expected) << c.answer;
    }
  }
  char result[kPathCapacity];
  ASSERT_TRUE(absolute_path("/x", result, sizeof result));
  EXPECT_STREQ(result, "/x");
  EXPECT_FALSE(absolute_path("a.dat", result, cwd.size() + 6));  // no room for the zero
  EXPECT_TRUE(absolute_path("a.dat", result, cwd.size() + 7));
}

}  // namespace
