// POSIX side of the creator: threads, path names and terminals.
#include <pthread.h>
#include <unistd.h>

#include <cstring>

#include "creator/platform.h"

namespace {

struct ThreadStart {
  void (*work)(void* context);
  void* context;
};

void* start_work(void* parameter) {
  auto* start = static_cast<ThreadStart*>(parameter);
  start->work(start->context);
  return nullptr;
}

}  // namespace

void run_parallel(void (*work)(void* context), void* const* contexts, unsigned count) {
  constexpr unsigned kMostThreads = 16;
  ThreadStart starts[kMostThreads];
  pthread_t threads[kMostThreads];
  unsigned started = 0;
  for (unsigned i = 1; i < count; ++i) {
    // Without a thread (too many, or no memory for its stack) the work is done here.
    bool room = started < kMostThreads;
    if (room) starts[started] = {work, contexts[i]};
    if (room && pthread_create(&threads[started], nullptr, start_work, &starts[started]) == 0) {
      ++started;
    } else {
      work(contexts[i]);
    }
  }
  if (count > 0) work(contexts[0]);
  for (unsigned i = 0; i < started; ++i)
    pthread_join(threads[i], nullptr);
}

const char* base_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? path : slash + 1;
}

bool is_terminal(FILE* stream) {
  return isatty(fileno(stream)) != 0;
}
