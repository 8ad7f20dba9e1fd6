// The two selection loops: ask, check the answer, open, and ask again until it works.
#include <cstdio>
#include <cstring>

#include "frontend/frontend.h"
#include "frontend/link_seams.h"
#include "frontend/messages.h"
#include "select/printable.h"

namespace {

using Chooser = ChooserResult (*)(char* path, const char* title);

// Copies `text` into `buffer`, cut to fit when it is longer.
void copy_cut(char* buffer, std::size_t capacity, const char* text) {
  std::snprintf(buffer, capacity, "%s", text);
}

// The file name at the end of a name from the patch: without its folder part (up to the
// last `/` or `\`, on any system) and never `.` or `..`, so that one press of Enter
// cannot save into another folder.
const char* file_name_only(const char* name) {
  const char* file_name = name;
  for (const char* c = name; *c != '\0'; ++c) {
    if (*c == '/' || *c == '\\') file_name = c + 1;
  }
  bool folder = std::strcmp(file_name, ".") == 0 || std::strcmp(file_name, "..") == 0;
  return folder ? "" : file_name;
}

// A chosen path with a control byte is refused like one that cannot be opened: no name
// typed, pasted or taken from the patch may carry a line end into the file system.
bool has_control_byte(const char* path) {
  for (; *path != '\0'; ++path) {
    if (is_control_byte(static_cast<unsigned char>(*path))) return true;
  }
  return false;
}

// Shows `chooser` pre-filled with the file name of `name` until the user picks a file;
// the cancel message and one wait come before every new showing. When nobody is left to
// answer, the program ends as closing the console would.
void choose_until_picked(Chooser chooser, char* path, const char* title_format, const char* name) {
  char title[kTitleCapacity];
  for (;;) {
    copy_cut(path, kPathCapacity, file_name_only(name));
    std::snprintf(title, sizeof title, title_format, name);
    ChooserResult result = chooser(path, title);
    if (result == ChooserResult::chosen) break;
    if (result == ChooserResult::nobody_left) exit_program();
    show_message(msg::kChooserCancelled);
    wait_for_key();
  }
}

}  // namespace

void select_original_file(PatchJob* job, const char* suggested_name, char* path) {
  show_message(msg::kChooseOriginal, suggested_name);
  pause_ms(500);
  for (;;) {
    choose_until_picked(choose_file_to_open, path, msg::kOriginalTitle, suggested_name);
    if (!has_control_byte(path) && open_original(job, path)) break;
    show_message(msg::kOpenFailed);
    pause_ms(2000);
  }
}

void select_new_file(PatchJob* job, const char* suggested_name, char* path) {
  show_message(msg::kChooseNew, suggested_name);
  for (;;) {
    pause_ms(1000);
    choose_until_picked(choose_file_to_save, path, msg::kNewTitle, suggested_name);
    if (!has_control_byte(path) && open_destination(job, path)) break;
    show_message(msg::kOpenFailed);
  }
}
