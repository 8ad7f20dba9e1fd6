// What the command line needs from the platform beyond files/ and creator/platform.h.
#pragma once

#include <cstdio>
#include <string>

// True for the platform's own way of asking for help besides -h and --help ("/?" on
// Windows).
bool is_help_switch(const char* argument);

// True when a regular file (or a link to one) is at `path`.
bool is_existing_file(const char* path);

// The system's code for why `stream`, which is not a regular file, cannot serve as one (a
// folder), or 0 when the system has no word for it.
int not_regular_reason(FILE* stream);

// Writes `stream` byte for byte, with no line-end translation.
void set_binary_output(FILE* stream);

// `name` as the player's program will show it: on Windows in the system's ANSI code page
// (the .exe itself runs in UTF-8). False when that code page cannot hold it.
bool name_for_players(const char* name, std::string* stored);
