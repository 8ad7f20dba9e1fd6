// Setting up the console on Windows.
#include <windows.h>

#include "frontend/frontend.h"

// Names are bytes in the ANSI code page, as the dialogs and the file system give them;
// the console would otherwise show them in its OEM code page, as other letters.
void prepare_console() {
  SetConsoleOutputCP(GetACP());
}
