// The file choosers: the Windows common dialogs, the desktop's dialogs on Linux, or a
// prompt on the console. A chooser draws its own dialog or prompt and returns what the
// user did; it never prints the program's messages, pauses or ends the process.
#pragma once

#include <cstddef>

// Fixed sizes of the choosers' text buffers, terminator included.
constexpr std::size_t kPathCapacity = 2048;
constexpr std::size_t kTitleCapacity = 256;

enum class ChooserResult {
  chosen,       // `path` holds the chosen path
  cancelled,    // the user closed or cancelled the chooser
  nobody_left,  // no answer can come any more (input ended or cannot be read)
};

// The platform's file choosers. `path` holds the suggested name on entry (capacity
// kPathCapacity) and the chosen path on return. Tests link scripted versions: see
// frontend/link_seams.h.
ChooserResult choose_file_to_open(char* path, const char* title);
ChooserResult choose_file_to_save(char* path, const char* title);

// Drops a leading double quote, then cuts the path at its first CR, LF or double quote.
// For the Windows dialogs, whose names cannot hold those characters; elsewhere a chosen
// name is used whole, since cutting it could name another, existing file.
void clean_chosen_path(char* path);
