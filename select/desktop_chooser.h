// File dialogs of the desktop session, shown by a separate dialog program.
#pragma once

enum class DialogOutcome { chosen, cancelled, failed };

// Shows the desktop's file-open or file-save dialog titled `title`, starting at the
// pre-filled name in `path` in the current folder. `chosen` leaves the full path in
// `path`; `failed` (no desktop session, no dialog program, a crash, no display) leaves
// `path` as it was, for the console chooser.
DialogOutcome desktop_choose(char* path, const char* title, bool save);
