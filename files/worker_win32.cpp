// The worker thread with Windows threads, a slim lock and a condition variable (the
// MinGW runtime used here has no std::thread).
#include <windows.h>

#include <new>

#include "files/worker.h"

struct Worker {
  HANDLE thread;
  SRWLOCK lock;
  CONDITION_VARIABLE changed;  // a job was handed, a job is done, or the thread is to end
  void (*job)(void* context);  // under `lock`: the job handed and not yet done, or null
  void* context;
  bool stopping;
};

namespace {

DWORD WINAPI run_jobs(LPVOID context) {
  auto* worker = static_cast<Worker*>(context);
  AcquireSRWLockExclusive(&worker->lock);
  for (;;) {
    while (worker->job == nullptr && !worker->stopping)
      SleepConditionVariableSRW(&worker->changed, &worker->lock, INFINITE, 0);
    if (worker->job == nullptr) break;
    ReleaseSRWLockExclusive(&worker->lock);
    worker->job(worker->context);
    AcquireSRWLockExclusive(&worker->lock);
    worker->job = nullptr;
    WakeAllConditionVariable(&worker->changed);
  }
  ReleaseSRWLockExclusive(&worker->lock);
  return 0;
}

// Called with `lock` held.
void wait_until_idle(Worker* worker) {
  while (worker->job != nullptr)
    SleepConditionVariableSRW(&worker->changed, &worker->lock, INFINITE, 0);
}

void hand(Worker* worker, void (*job)(void* context), void* context) {
  worker->job = job;
  worker->context = context;
  WakeAllConditionVariable(&worker->changed);
}

}  // namespace

// Console interrupts run on a thread of their own on Windows; nothing to block here.
Worker* start_worker() {
  auto* worker = new (std::nothrow)
      Worker{nullptr, SRWLOCK_INIT, CONDITION_VARIABLE_INIT, nullptr, nullptr, false};
  if (worker == nullptr) return nullptr;
  worker->thread = CreateThread(nullptr, 0, run_jobs, worker, 0, nullptr);
  if (worker->thread == nullptr) {
    delete worker;
    return nullptr;
  }
  return worker;
}

void run_on_worker(Worker* worker, void (*job)(void* context), void* context) {
  if (worker == nullptr) {
    job(context);
    return;
  }
  AcquireSRWLockExclusive(&worker->lock);
  wait_until_idle(worker);
  hand(worker, job, context);
  ReleaseSRWLockExclusive(&worker->lock);
}

bool run_if_idle(Worker* worker, void (*job)(void* context), void* context) {
  if (worker == nullptr) return false;
  AcquireSRWLockExclusive(&worker->lock);
  bool idle = worker->job == nullptr;
  if (idle) hand(worker, job, context);
  ReleaseSRWLockExclusive(&worker->lock);
  return idle;
}

void wait_for_worker(Worker* worker) {
  if (worker == nullptr) return;
  AcquireSRWLockExclusive(&worker->lock);
  wait_until_idle(worker);
  ReleaseSRWLockExclusive(&worker->lock);
}

void stop_worker(Worker* worker) {
  if (worker == nullptr) return;
  AcquireSRWLockExclusive(&worker->lock);
  wait_until_idle(worker);
  worker->stopping = true;
  WakeAllConditionVariable(&worker->changed);
  ReleaseSRWLockExclusive(&worker->lock);
  WaitForSingleObject(worker->thread, INFINITE);
  CloseHandle(worker->thread);
  delete worker;
}
