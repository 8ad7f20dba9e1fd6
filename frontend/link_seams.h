// The functions that tests replace at link time. The program links the real ones from
// their own object libraries; a test links its stand-ins in their place:
// - pause_ms (qv_pause, frontend/pause_*.cpp): the pauses that pace the run. The
//   end-to-end build logs them to a file, the benchmark skips them.
// - choose_file_to_open and choose_file_to_save (qv_choosers, select/chooser_*.cpp,
//   declared in select/choosers.h): the file dialogs. A test of the front end alone can
//   script the answers; the end-to-end rows drive the real ones.
#pragma once

#include "select/choosers.h"

// Sleeps the calling thread.
void pause_ms(unsigned milliseconds);
