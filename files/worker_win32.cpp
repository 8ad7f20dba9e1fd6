// The worker's thread with Windows threads, a slim lock and a condition variable (the
// MinGW runtime used here has no std::thread). Console interrupts run on a thread of
// their own on Windows: nothing to block.
#include <windows.h>

#include <new>

#include "files/worker_platform.h"

struct WorkerSync {
  HANDLE thread;
  SRWLOCK lock;
  CONDITION_VARIABLE changed;
  void (*run)(WorkerSync* sync, void* context);
  void* context;
};

namespace {

DWORD WINAPI run_thread(LPVOID sync) {
  auto* self = static_cast<WorkerSync*>(sync);
  self->run(self, self->context);
  return 0;
}

}  // namespace

WorkerSync* start_thread(void (*run)(WorkerSync* sync, void* context), void* context) {
  auto* sync =
      new (std::nothrow) WorkerSync{nullptr, SRWLOCK_INIT, CONDITION_VARIABLE_INIT, run, context};
  if (sync == nullptr) return nullptr;
  sync->thread = CreateThread(nullptr, 0, run_thread, sync, 0, nullptr);
  if (sync->thread == nullptr) {
    delete sync;
    return nullptr;
  }
  return sync;
}

void take_lock(WorkerSync* sync) {
  AcquireSRWLockExclusive(&sync->lock);
}

void release_lock(WorkerSync* sync) {
  ReleaseSRWLockExclusive(&sync->lock);
}

void wait_for_change(WorkerSync* sync) {
  SleepConditionVariableSRW(&sync->changed, &sync->lock, INFINITE, 0);
}

void announce_change(WorkerSync* sync) {
  WakeAllConditionVariable(&sync->changed);
}

void join_thread(WorkerSync* sync) {
  WaitForSingleObject(sync->thread, INFINITE);
  CloseHandle(sync->thread);
  delete sync;
}
