// The worker thread: one job slot under a lock, and a condition for every change to it.
#include "files/worker.h"

#include <new>

#include "files/worker_platform.h"

struct Worker {
  WorkerSync* sync;
  void (*job)(void* context);  // under the lock: the job handed and not yet done, or null
  void* context;
  bool stopping;
};

namespace {

void run_jobs(WorkerSync* sync, void* context) {
  auto* worker = static_cast<Worker*>(context);
  take_lock(sync);
  for (;;) {
    while (worker->job == nullptr && !worker->stopping)
      wait_for_change(sync);
    if (worker->job == nullptr) break;
    release_lock(sync);
    worker->job(worker->context);
    take_lock(sync);
    worker->job = nullptr;
    announce_change(sync);
  }
  release_lock(sync);
}

// Called with the lock held.
void wait_until_idle(Worker* worker) {
  while (worker->job != nullptr)
    wait_for_change(worker->sync);
}

void hand(Worker* worker, void (*job)(void* context), void* context) {
  worker->job = job;
  worker->context = context;
  announce_change(worker->sync);
}

}  // namespace

Worker* start_worker() {
  auto* worker = new (std::nothrow) Worker{nullptr, nullptr, nullptr, false};
  if (worker == nullptr) return nullptr;
  // The thread is given its lock and condition: it never reads `sync`, set only now.
  worker->sync = start_thread(run_jobs, worker);
  if (worker->sync == nullptr) {
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
  take_lock(worker->sync);
  wait_until_idle(worker);
  hand(worker, job, context);
  release_lock(worker->sync);
}

bool run_if_idle(Worker* worker, void (*job)(void* context), void* context) {
  if (worker == nullptr) return false;
  take_lock(worker->sync);
  bool idle = worker->job == nullptr;
  if (idle) hand(worker, job, context);
  release_lock(worker->sync);
  return idle;
}

void wait_for_worker(Worker* worker) {
  if (worker == nullptr) return;
  take_lock(worker->sync);
  wait_until_idle(worker);
  release_lock(worker->sync);
}

void stop_worker(Worker* worker) {
  if (worker == nullptr) return;
  take_lock(worker->sync);
  wait_until_idle(worker);
  worker->stopping = true;
  announce_change(worker->sync);
  release_lock(worker->sync);
  join_thread(worker->sync);
  delete worker;
}
