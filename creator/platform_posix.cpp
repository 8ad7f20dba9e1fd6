// POSIX side of the creator: threads, path names and terminals.
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
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

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Tables smaller than a huge page take whole pages of the usual size.
std::size_t mapped_length(std::size_t size) {
  std::size_t unit = size < kHugePage ? static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) : kHugePage;
  return (size + unit - 1) / unit * unit;
}

}  // namespace

void* allocate_table(std::size_t size) {
  if (size == 0 || size > SIZE_MAX / 2) return nullptr;
  std::size_t length = mapped_length(size);
  std::size_t slack = length < kHugePage ? 0 : kHugePage;
  void* mapped =
      mmap(nullptr, length + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  if (slack == 0) return mapped;
  // A huge page starts on a multiple of its size: map one more, then cut the edges off.
  auto start = reinterpret_cast<std::uintptr_t>(mapped);
  std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned > start) munmap(mapped, aligned - start);
  munmap(reinterpret_cast<void*>(aligned + length), start + slack - aligned);
  madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

void release_table(void* table, std::size_t size) {
  if (table != nullptr) munmap(table, mapped_length(size));
}

const char* base_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? path : slash + 1;
}

bool is_terminal(FILE* stream) {
  return isatty(fileno(stream)) != 0;
}
