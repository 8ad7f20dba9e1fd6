// The platform steps behind files/output.h.
#pragma once

#include <cstdint>
#include <cstdio>

#include "files/output.h"

// Records where the new file goes and how; false when it cannot be written there.
bool prepare_destination(PendingOutput* output, const char* path);
FILE* create_temporary_file(PendingOutput* output);
bool replace_file(const char* temporary_path, const char* final_path);

// Makes sure that `target` can grow to `length` bytes before any of it is overwritten:
// the room behind its end is allocated. False when it cannot be, with the file as it was.
bool reserve_length(FILE* target, std::uint64_t length);
// Flushes `target` and cuts it to `length` bytes.
bool cut_to_length(FILE* target, std::uint64_t length);
