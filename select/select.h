// Asking the user for the original file and for where the new file goes.
#pragma once

#include <cstdio>

#include "frontend/frontend.h"

// Asks until the original file is open for binary reading; the job's original name
// becomes the chosen path.
void select_original_file(PatchJob* job);

// Asks until the new file can be written at the chosen place; the job's new name
// becomes the chosen path.
void select_new_file(PatchJob* job);

// Drops a leading double quote, then cuts the path at its first CR, LF or double quote.
void clean_chosen_path(char* path);

// The platform's file choosers. `path` holds the pre-filled name on entry (capacity
// kPathCapacity) and the chosen full path on return. 1 when a file was chosen, 0 when
// the user cancelled or the chooser failed. Tests link scripted versions.
int choose_file_to_open(char* path, const char* title, const char* default_extension);
int choose_file_to_save(char* path, const char* title, const char* default_extension);

// True when `path` names the same file as the open `stream`, by any name.
bool is_same_file(const char* path, FILE* stream);

// Opens the original for binary reading; null unless it is a regular file, since the
// patch reads it at arbitrary offsets.
FILE* open_original_file(const char* path);
