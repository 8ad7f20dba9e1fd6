// The platform's part of the worker thread (files/worker.h): a thread with a lock and a
// condition variable.
#pragma once

struct WorkerSync;  // the thread, its lock and its condition variable

// Starts `run(sync, context)` on a thread of its own, `sync` being the lock and the
// condition that come with it. The thread takes no interrupts: those keep going to the
// program's main thread, which holds them where it must. Null where none can be started.
WorkerSync* start_thread(void (*run)(WorkerSync* sync, void* context), void* context);

void take_lock(WorkerSync* sync);
void release_lock(WorkerSync* sync);
// With the lock held: releases it until another thread announces a change, then takes
// it again. May also return without one; callers check what they wait for.
void wait_for_change(WorkerSync* sync);
void announce_change(WorkerSync* sync);

// Waits until the thread has returned, then frees its lock and condition.
void join_thread(WorkerSync* sync);
