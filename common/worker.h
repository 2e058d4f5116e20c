// Work that can take milliseconds (a password hash check) done off the
// loop thread: worker threads run the jobs, an eventfd watched by the loop
// hands each finished job back, and its `done` runs on the loop thread.
// Only the record that asked waits; the loop goes on serving the others.
#pragma once

struct EventLoop;
struct Worker;

struct WorkJob {
  void (*run)(WorkJob *job);   // on a worker thread
  void (*done)(WorkJob *job);  // on the loop thread, once run is over; it
                               // owns the job from then on
  WorkJob *next = nullptr;     // the worker's queues
};

// Threads that hand results back through `loop`; null when they cannot be
// started (then WorkOn runs jobs in place).
Worker *StartWorker(EventLoop *loop, int threads);
// Stops and joins the threads, then hands every job back: those not yet
// run are handed back with `run` skipped.
void StopWorker(Worker *worker);
// Queues the job. Without a worker (no loop: tests, tools) it runs and is
// handed back at once, before WorkOn returns.
void WorkOn(Worker *worker, WorkJob *job);
