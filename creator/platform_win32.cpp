// Windows side of the creator: threads (the MinGW runtime used here has no std::thread),
// path names and consoles.
#include <io.h>
#include <windows.h>

#include <vector>

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
  std::vector<ThreadStart> starts(count);
  std::vector<HANDLE> threads;
  for (unsigned i = 1; i < count; ++i) {
    starts[i] = {work, contexts[i]};
    HANDLE thread = CreateThread(nullptr, 0, start_work, &starts[i], 0, nullptr);
    // Without a thread the piece is simply worked on here.
    if (thread == nullptr) {
      work(contexts[i]);
    } else {
      threads.push_back(thread);
    }
  }
  if (count > 0) work(contexts[0]);
  for (HANDLE thread : threads) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
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
