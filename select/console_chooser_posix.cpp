// A file chooser on the console: the prompt goes to standard error so that standard
// output stays the program's own report; the answer is one line of standard input.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "select/console_chooser.h"
#include "select/printable.h"

namespace {

enum class Answer { line, too_long, zero_byte, end_of_input };

bool stdin_is_terminal() {
  return isatty(STDIN_FILENO) == 1;
}

// At a terminal an answer ended with Ctrl-D instead of Enter is taken as it is: its line
// is ended on the screen, and the end of input forgotten, so that later waits still wait.
void end_answer_at_terminal(int last) {
  if (last != EOF || !stdin_is_terminal()) return;
  std::fputc('\n', stderr);
  std::clearerr(stdin);
}

// Reads one line. A line too long for `line`, or with a zero byte that would end the
// name early and so name another file, is consumed whole and reported as such.
Answer read_answer(char* line, std::size_t capacity) {
  std::size_t length = 0;
  int c = std::getchar();
  if (c == EOF) return Answer::end_of_input;
  bool too_long = false;
  bool zero_byte = false;
  for (; c != EOF && c != '\n'; c = std::getchar()) {
    if (c == '\0') {
      zero_byte = true;
    } else if (length + 1 < capacity) {
      line[length++] = static_cast<char>(c);
    } else {
      too_long = true;
    }
  }
  line[length] = '\0';
  end_answer_at_terminal(c);
  if (zero_byte) return Answer::zero_byte;
  return too_long ? Answer::too_long : Answer::line;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Writes `text` to standard error with its control characters escaped.
void put_printable(const char* text) {
  char shown[printable_capacity(kPathCapacity * 2)];
  std::fputs(printable(text, shown, sizeof shown), stderr);
}

void show_prompt(const char* title, const char* path) {
  put_printable(title);
  std::fputs("\nFile name [", stderr);
  put_printable(path);
  std::fputs("]: ", stderr);
  std::fflush(stderr);
}

bool is_folder(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

void trim_answer(char* answer) {
  std::size_t length = std::strlen(answer);
  while (length > 0 && is_blank(answer[length - 1]))
    answer[--length] = '\0';
  std::size_t start = 0;
  while (is_blank(answer[start]))
    ++start;
  char quote = answer[start];
  if (length - start >= 2 && (quote == '"' || quote == '\'') && answer[length - 1] == quote) {
    answer[--length] = '\0';
    ++start;
  }
  std::memmove(answer, answer + start, length - start + 1);
}

bool absolute_path(const char* answer, char* result, unsigned long capacity) {
  const char* slash = std::strrchr(answer, '/');
  const char* name = slash == nullptr ? answer : slash + 1;
  char folder[PATH_MAX];
  std::size_t folder_length = slash == nullptr ? 0 : static_cast<std::size_t>(slash - answer);
  if (folder_length >= sizeof folder) return false;
  if (slash == nullptr) {
    std::strcpy(folder, ".");
  } else if (slash == answer) {
    std::strcpy(folder, "/");
  } else {
    std::snprintf(folder, sizeof folder, "%.*s", static_cast<int>(folder_length), answer);
  }
  // realpath accepts a file as the last part; the folder of a path must be a folder.
  char resolved[PATH_MAX];
  if (realpath(folder, resolved) == nullptr || !is_folder(resolved)) return false;
  const char* joint = std::strcmp(resolved, "/") == 0 ? "" : "/";
  int written = std::snprintf(result, capacity, "%s%s%s", resolved, joint, name);
  return written > 0 && static_cast<unsigned long>(written) < capacity;
}

ChooserResult console_choose(char* path, const char* title) {
  char answer[kPathCapacity * 2];
  for (;;) {
    // A Ctrl-D at the wait before must not also cancel this question.
    if (stdin_is_terminal()) std::clearerr(stdin);
    show_prompt(title, path);
    Answer outcome = read_answer(answer, sizeof answer);
    if (outcome == Answer::end_of_input) {
      // Ctrl-D at a terminal cancels; at the end of piped input, or when the terminal
      // can no longer be read, nobody is left to ask and asking again would spin.
      if (std::ferror(stdin) || !stdin_is_terminal()) return ChooserResult::nobody_left;
      std::clearerr(stdin);
      std::fputc('\n', stderr);
      return ChooserResult::cancelled;
    }
    if (outcome == Answer::zero_byte) {
      std::fputs("The name holds a zero byte, which no file name can hold.\n", stderr);
      continue;
    }
    trim_answer(answer);
    const char* chosen = answer[0] == '\0' ? path : answer;
    char full[kPathCapacity];
    if (outcome == Answer::line && absolute_path(chosen, full, sizeof full)) {
      std::strcpy(path, full);
      return ChooserResult::chosen;
    }
    std::fputs("The folder of \"", stderr);
    put_printable(chosen);
    std::fputs("\" does not exist, or the name is too long.\n", stderr);
  }
}
