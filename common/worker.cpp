#include "worker.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "event_loop.h"

struct Worker {
  EventLoop *loop;
  int wakeFd;                 // eventfd: finished jobs wait in `finished`
  std::mutex lock;
  std::condition_variable ready;
  WorkJob *queued = nullptr;  // oldest first
  WorkJob **queuedTail = &queued;
  WorkJob *finished = nullptr;
  bool stopping = false;
  std::vector<std::thread> threads;
};

static void RunJobs(Worker *w) {
  std::unique_lock<std::mutex> hold(w->lock);
  for (;;) {
    w->ready.wait(hold, [w] { return w->stopping || w->queued; });
    if (w->stopping) return;
    WorkJob *job = w->queued;
    w->queued = job->next;
    if (!w->queued) w->queuedTail = &w->queued;
    hold.unlock();
    job->run(job);
    hold.lock();
    job->next = w->finished;
    w->finished = job;
    uint64_t one = 1;
    // The counter only has to be above zero for the loop to look.
    if (write(w->wakeFd, &one, sizeof one) < 0) {
    }
  }
}

// Hands every finished job back, oldest first.
static void HandBack(Worker *w) {
  WorkJob *list;
  {
    std::lock_guard<std::mutex> hold(w->lock);
    list = w->finished;
    w->finished = nullptr;
  }
  WorkJob *oldest = nullptr;
  while (list) {
    WorkJob *next = list->next;
    list->next = oldest;
    oldest = list;
    list = next;
  }
  while (oldest) {
    WorkJob *next = oldest->next;
    oldest->done(oldest);
    oldest = next;
  }
}

static void OnWake(EventLoop *, int fd, void *record, int) {
  uint64_t count;
  if (read(fd, &count, sizeof count) < 0) {
  }
  HandBack(static_cast<Worker *>(record));
}

Worker *StartWorker(EventLoop *loop, int threads) {
  if (!loop || threads < 1) return nullptr;
  Worker *w = new (std::nothrow) Worker;
  if (!w) return nullptr;
  w->loop = loop;
  w->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (w->wakeFd < 0 || WatchFd(loop, w->wakeFd, kLoopReadable, OnWake, w) != 0) {
    if (w->wakeFd >= 0) close(w->wakeFd);
    delete w;
    return nullptr;
  }
  try {
    for (int i = 0; i < threads; i++) w->threads.emplace_back(RunJobs, w);
  } catch (...) {
    if (w->threads.empty()) {
      UnwatchFd(loop, w->wakeFd);
      close(w->wakeFd);
      delete w;
      return nullptr;
    }
  }
  return w;
}

void StopWorker(Worker *w) {
  if (!w) return;
  {
    std::lock_guard<std::mutex> hold(w->lock);
    w->stopping = true;
  }
  w->ready.notify_all();
  for (std::thread &t : w->threads) t.join();
  *w->queuedTail = w->finished;  // unrun jobs go back with the run ones
  w->finished = w->queued;
  w->queued = nullptr;
  w->queuedTail = &w->queued;
  HandBack(w);
  UnwatchFd(w->loop, w->wakeFd);
  close(w->wakeFd);
  delete w;
}

void WorkOn(Worker *w, WorkJob *job) {
  if (!w) {
    job->run(job);
    job->done(job);
    return;
  }
  job->next = nullptr;
  {
    std::lock_guard<std::mutex> hold(w->lock);
    *w->queuedTail = job;
    w->queuedTail = &job->next;
  }
  w->ready.notify_one();
}
