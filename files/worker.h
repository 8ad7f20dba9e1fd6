// A second thread that runs the jobs handed to it, one at a time, while the thread that
// handed them goes on with its own work.
#pragma once

struct Worker;  // the thread and what it waits on

// Starts the thread. It takes no interrupt: those keep going to the program's main
// thread, which holds them where it must. Null where no thread can be started.
Worker* start_worker();

// Waits until the job before is done, then hands `job(context)` to the thread and
// returns. Without a thread (null) the job runs here and now.
void run_on_worker(Worker* worker, void (*job)(void* context), void* context);

// Hands the job to the thread only when it has none: false, without waiting, when the
// thread is busy, and always without a thread.
bool run_if_idle(Worker* worker, void (*job)(void* context), void* context);

// Waits until the job handed last is done. Does nothing without a thread.
void wait_for_worker(Worker* worker);

// Waits for the job handed last and ends the thread. Does nothing without a thread.
void stop_worker(Worker* worker);
