// Link-time stand-ins for the pauses and the choosers, and helpers around them.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct ChooserCall {
  bool save;              // the save chooser rather than the open chooser
  std::string prefilled;  // the path buffer as the chooser received it
  std::string title;
};

// Every pause asked for (milliseconds) and every chooser shown, since reset_fakes().
extern std::vector<unsigned> recorded_pauses;
extern std::vector<ChooserCall> chooser_calls;

// Answers the scripted choosers give, in order; nullopt is a cancel. A chooser shown
// with no answer left ends the test.
extern std::vector<std::optional<std::string>> chooser_answers;
void reset_fakes();

// Makes `text` the whole of standard input.
void feed_stdin(const std::string& text);

// A fresh empty folder for one test; the process moves into it.
std::string enter_scratch_folder();

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
