// The worker thread with POSIX threads.
#include <pthread.h>
#include <signal.h>

#include <initializer_list>
#include <new>

#include "files/worker.h"

struct Worker {
  pthread_t thread;
  pthread_mutex_t lock;
  pthread_cond_t changed;      // a job was handed, a job is done, or the thread is to end
  void (*job)(void* context);  // under `lock`: the job handed and not yet done, or null
  void* context;
  bool stopping;
};

namespace {

void* run_jobs(void* context) {
  auto* worker = static_cast<Worker*>(context);
  pthread_mutex_lock(&worker->lock);
  for (;;) {
    while (worker->job == nullptr && !worker->stopping)
      pthread_cond_wait(&worker->changed, &worker->lock);
    if (worker->job == nullptr) break;
    pthread_mutex_unlock(&worker->lock);
    worker->job(worker->context);
    pthread_mutex_lock(&worker->lock);
    worker->job = nullptr;
    pthread_cond_broadcast(&worker->changed);
  }
  pthread_mutex_unlock(&worker->lock);
  return nullptr;
}

// Called with `lock` held.
void wait_until_idle(Worker* worker) {
  while (worker->job != nullptr)
    pthread_cond_wait(&worker->changed, &worker->lock);
}

void hand(Worker* worker, void (*job)(void* context), void* context) {
  worker->job = job;
  worker->context = context;
  pthread_cond_broadcast(&worker->changed);
}

}  // namespace

Worker* start_worker() {
  auto* worker = new (std::nothrow)
      Worker{{}, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, nullptr, nullptr, false};
  if (worker == nullptr) return nullptr;
  // The thread inherits this mask: every signal blocked but the faults of its own work
  // (SIGBUS where a mapped file shrank), which cannot wait.
  sigset_t blocked, previous;
  sigfillset(&blocked);
  for (int fault : {SIGBUS, SIGSEGV, SIGFPE, SIGILL, SIGTRAP, SIGSYS})
    sigdelset(&blocked, fault);
  pthread_sigmask(SIG_SETMASK, &blocked, &previous);
  bool started = pthread_create(&worker->thread, nullptr, run_jobs, worker) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!started) {
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
  pthread_mutex_lock(&worker->lock);
  wait_until_idle(worker);
  hand(worker, job, context);
  pthread_mutex_unlock(&worker->lock);
}

bool run_if_idle(Worker* worker, void (*job)(void* context), void* context) {
  if (worker == nullptr) return false;
  pthread_mutex_lock(&worker->lock);
  bool idle = worker->job == nullptr;
  if (idle) hand(worker, job, context);
  pthread_mutex_unlock(&worker->lock);
  return idle;
}

void wait_for_worker(Worker* worker) {
  if (worker == nullptr) return;
  pthread_mutex_lock(&worker->lock);
  wait_until_idle(worker);
  pthread_mutex_unlock(&worker->lock);
}

void stop_worker(Worker* worker) {
  if (worker == nullptr) return;
  pthread_mutex_lock(&worker->lock);
  wait_until_idle(worker);
  worker->stopping = true;
  pthread_cond_broadcast(&worker->changed);
  pthread_mutex_unlock(&worker->lock);
  pthread_join(worker->thread, nullptr);
  delete worker;
}
