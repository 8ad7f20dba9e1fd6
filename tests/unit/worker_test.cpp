// The worker thread that the rebuild writes and flushes on: jobs run one at a time, in
// the order handed, none lost; a busy worker turns a job away instead of queueing it;
// without a thread every job runs on the caller.
#include "files/worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Log {
  std::vector<int> order;  // written by the jobs only
  std::atomic<bool> release{false};
  std::atomic<bool> running{false};
};

struct Entry {
  Log* log;
  int value;
};

void note_value(void* entry) {
  auto* self = static_cast<Entry*>(entry);
  self->log->order.push_back(self->value);
}

void hold_until_released(void* log) {
  auto* self = static_cast<Log*>(log);
  self->running = true;
  while (!self->release)
    std::this_thread::yield();
}

TEST(Worker, RunsJobsInOrderAndTurnsAwayOnlyWhileBusy) {
  for (bool threaded : {true, false}) {
    Worker* worker = threaded ? start_worker() : nullptr;
    ASSERT_EQ(worker != nullptr, threaded);
    Log log;
    // Handed without waiting: each hand waits for the job before, so none is lost.
    std::vector<Entry> entries(1001);
    for (int i = 0; i <= 1000; ++i)
      entries[i] = {&log, i};
    for (int i = 0; i < 1000; ++i)
      run_on_worker(worker, note_value, &entries[i]);
    wait_for_worker(worker);
    ASSERT_EQ(log.order.size(), 1000u) << threaded;
    for (int i = 0; i < 1000; ++i)
      ASSERT_EQ(log.order[i], i) << threaded;
    if (threaded) {
      run_on_worker(worker, hold_until_released, &log);
      while (!log.running)
        std::this_thread::yield();
      EXPECT_FALSE(run_if_idle(worker, note_value, &entries[1000]));
      log.release = true;
      wait_for_worker(worker);
      EXPECT_TRUE(run_if_idle(worker, note_value, &entries[1000]));
    } else {
      EXPECT_FALSE(run_if_idle(worker, note_value, &entries[1000]));
    }
    // Stopping waits for the job handed last.
    stop_worker(worker);
    EXPECT_EQ(log.order.size(), threaded ? 1001u : 1000u);
  }
}

}  // namespace
