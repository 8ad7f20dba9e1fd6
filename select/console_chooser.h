// The chooser that asks on the console, for systems without file dialogs.
#pragma once

#include "select/choosers.h"

// Shows `title`, asks for a file name with the pre-filled `path` as the default and
// leaves the absolute path of the answer in `path`. A cancel is end of input at a
// terminal; at the end of piped input or on a read error nobody is left to ask.
ChooserResult console_choose(char* path, const char* title);

// Cleans a typed answer in place: drops the line end, surrounding blanks and one pair
// of surrounding quotes.
void trim_answer(char* answer);

// Makes `answer` absolute against the current folder, with its folder resolved.
// False when the folder is not an existing folder or the result would not fit
// `capacity`.
bool absolute_path(const char* answer, char* result, unsigned long capacity);
