// The file choosers on POSIX systems: the desktop's file dialog where a desktop session
// has one, otherwise (or when it fails) the console chooser for that showing.
#include "select/console_chooser.h"
#include "select/desktop_chooser.h"

namespace {

ChooserResult choose_file(char* path, const char* title, bool save) {
  switch (desktop_choose(path, title, save)) {
    case DialogOutcome::chosen:
      return ChooserResult::chosen;
    case DialogOutcome::cancelled:
      return ChooserResult::cancelled;
    case DialogOutcome::failed:
      break;
  }
  return console_choose(path, title);
}

}  // namespace

ChooserResult choose_file_to_open(char* path, const char* title) {
  return choose_file(path, title, false);
}

ChooserResult choose_file_to_save(char* path, const char* title) {
  return choose_file(path, title, true);
}
