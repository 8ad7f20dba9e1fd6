// The file choosers on POSIX systems.
#include "select/console_chooser.h"
#include "select/select.h"

int choose_file_to_open(char* path, const char* title, const char* /*default_extension*/) {
  return console_choose(path, title);
}

int choose_file_to_save(char* path, const char* title, const char* /*default_extension*/) {
  return console_choose(path, title);
}
