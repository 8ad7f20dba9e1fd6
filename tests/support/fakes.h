// Link-time stand-ins for the pauses and the choosers, and helpers around them.
#pragma once

#include <optional>
#include <string>
#include <vector>

// Every pause the code under test asked for, in milliseconds.
extern std::vector<unsigned> recorded_pauses;

struct ChooserCall {
  bool save;              // the save chooser rather than the open chooser
  std::string prefilled;  // the path buffer as the chooser received it
  std::string title;
};
extern std::vector<ChooserCall> chooser_calls;

// Answers the scripted choosers give, in order; nullopt is a cancel. A chooser shown
// with no answer left fails the test and ends it.
extern std::vector<std::optional<std::string>> chooser_answers;

// Clears the records and the script.
void reset_fakes();

// Makes `text` the whole of standard input.
void feed_stdin(const std::string& text);

// A fresh empty folder for one test; the process moves into it.
std::string enter_scratch_folder();

// Whole-file helpers.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
