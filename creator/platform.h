// What the creator needs from the platform: threads, path names and terminals.
#pragma once

#include <cstdio>

// Runs work(contexts[i]) for every i, in `count` threads at once. Work whose thread
// cannot be started is done in the calling thread, one after the other.
void run_parallel(void (*work)(void* context), void* const* contexts, unsigned count);

// The file name at the end of `path`.
const char* base_name(const char* path);

// True when `stream` is a terminal (a console on Windows).
bool is_terminal(FILE* stream);
