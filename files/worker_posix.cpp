// The worker's thread with POSIX threads.
#include <pthread.h>
#include <signal.h>

#include <initializer_list>
#include <new>

#include "files/worker_platform.h"

struct WorkerSync {
  pthread_t thread;
  pthread_mutex_t lock;
  pthread_cond_t changed;
  void (*run)(WorkerSync* sync, void* context);
  void* context;
};

namespace {

void* run_thread(void* sync) {
  auto* self = static_cast<WorkerSync*>(sync);
  self->run(self, self->context);
  return nullptr;
}

}  // namespace

WorkerSync* start_thread(void (*run)(WorkerSync* sync, void* context), void* context) {
  auto* sync = new (std::nothrow)
      WorkerSync{{}, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, run, context};
  if (sync == nullptr) return nullptr;
  // The thread inherits this mask: every signal blocked but the faults of its own work
  // (SIGBUS where a mapped file shrank), which cannot wait.
  sigset_t blocked, previous;
  sigfillset(&blocked);
  for (int fault : {SIGBUS, SIGSEGV, SIGFPE, SIGILL, SIGTRAP, SIGSYS})
    sigdelset(&blocked, fault);
  pthread_sigmask(SIG_SETMASK, &blocked, &previous);
  bool started = pthread_create(&sync->thread, nullptr, run_thread, sync) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!started) {
    delete sync;
    return nullptr;
  }
  return sync;
}

void take_lock(WorkerSync* sync) {
  pthread_mutex_lock(&sync->lock);
}

void release_lock(WorkerSync* sync) {
  pthread_mutex_unlock(&sync->lock);
}

void wait_for_change(WorkerSync* sync) {
  pthread_cond_wait(&sync->changed, &sync->lock);
}

void announce_change(WorkerSync* sync) {
  pthread_cond_broadcast(&sync->changed);
}

void join_thread(WorkerSync* sync) {
  pthread_join(sync->thread, nullptr);
  delete sync;
}
