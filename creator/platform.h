// What the creator needs from the platform: threads, path names and terminals.
#pragma once

#include <cstddef>
#include <cstdio>

// Runs work(contexts[i]) for every i, in `count` threads at once. Work whose thread
// cannot be started is done in the calling thread, one after the other.
void run_parallel(void (*work)(void* context), void* const* contexts, unsigned count);

// Zeroed memory of `size` bytes for a large table, in huge pages where the system has
// them (fewer page faults, and fewer misses of the address cache in random searches);
// null when there is not enough. Released with the same size.
void* allocate_table(std::size_t size);
void release_table(void* table, std::size_t size);

// The file name at the end of `path`.
const char* base_name(const char* path);

// True when `stream` is a terminal (a console on Windows).
bool is_terminal(FILE* stream);
