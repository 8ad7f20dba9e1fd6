// Windows side of the creator: threads (the MinGW runtime used here has no std::thread),
// path names and consoles.
#include <io.h>
#include <windows.h>

#include "creator/platform.h"

namespace {

struct ThreadStart {
  void (*work)(void* context);
  void* context;
};

DWORD WINAPI start_work(LPVOID parameter) {
  auto* start = static_cast<ThreadStart*>(parameter);
  start->work(start->context);
  return 0;
}

}  // namespace

void run_parallel(void (*work)(void* context), void* const* contexts, unsigned count) {
  constexpr unsigned kMostThreads = 16;
  ThreadStart starts[kMostThreads];
  HANDLE threads[kMostThreads];
  unsigned started = 0;
  for (unsigned i = 1; i < count; ++i) {
    // Without a thread (too many, or no memory for its stack) the work is done here.
    bool room = started < kMostThreads;
    if (room) starts[started] = {work, contexts[i]};
    HANDLE thread =
        room ? CreateThread(nullptr, 0, start_work, &starts[started], 0, nullptr) : nullptr;
    if (thread == nullptr) {
      work(contexts[i]);
    } else {
      threads[started++] = thread;
    }
  }
  if (count > 0) work(contexts[0]);
  for (unsigned i = 0; i < started; ++i) {
    WaitForSingleObject(threads[i], INFINITE);
    CloseHandle(threads[i]);
  }
}

void* allocate_table(std::size_t size) {
  if (size == 0) return nullptr;
  return VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void release_table(void* table, std::size_t size) {
  (void)size;
  if (table != nullptr) VirtualFree(table, 0, MEM_RELEASE);
}

const char* base_name(const char* path) {
  const char* name = path;
  for (const char* at = path; *at != '\0'; ++at) {
    if (*at == '/' || *at == '\\' || *at == ':') name = at + 1;
  }
  return name;
}

bool is_terminal(FILE* stream) {
  return _isatty(_fileno(stream)) != 0;
}
