// The platform steps behind engine/output.h.
#pragma once

#include <cstdio>

#include "files/output.h"

// Records where the new file goes and how; false when it cannot be written there.
bool prepare_destination(PendingOutput* output, const char* path);
FILE* create_temporary_file(PendingOutput* output);
bool flush_to_disk(FILE* stream);
bool replace_file(const char* temporary_path, const char* final_path);
