// POSIX side of the creator: threads, path names and terminals.
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "creator/platform.h"

void run_parallel(void (*work)(void* context), void* const* contexts, unsigned count) {
  std::vector<std::thread> others;
  for (unsigned i = 1; i < count; ++i)
    others.emplace_back(work, contexts[i]);
  if (count > 0) work(contexts[0]);
  for (std::thread& other : others)
    other.join();
}

const char* base_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? path : slash + 1;
}

bool is_terminal(FILE* stream) {
  return isatty(fileno(stream)) != 0;
}
