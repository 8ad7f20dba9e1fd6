// Cleaning a path handed back by a chooser.
#include <cstring>

#include "select/choosers.h"

void clean_chosen_path(char* path) {
  if (path[0] == '"') std::memmove(path, path + 1, std::strlen(path));
  path[std::strcspn(path, "\r\n\"")] = '\0';
}
