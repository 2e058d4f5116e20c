#include "event_loop.h"

#include <cstdlib>
#include <new>
#include <vector>

#include "event_wait.h"

namespace {

// `mask` is what the owner asked for; `kernelMask` what the backend holds.
// The two meet before the next wait: a connection accepted, answered and
// closed within one pass never costs the backend a call.
struct FdEntry {
  unsigned char mask;
  unsigned char kernelMask;
  bool queued;  // on the loop's list of changes to make before the wait
  FdHandler handler;
  void *record;
};

// A timer lives in a slot; the heap orders slot numbers by deadline. The
// id carries the slot and the slot's generation, so an id kept after its
// timer fired or was cancelled never reaches the slot's next timer.
struct TimerSlot {
  int64_t deadline;
  uint64_t order;       // ties at one deadline go in the order added
  TimerHandler handler;
  void *record;
  uint32_t generation;
  int heapIndex;        // -1 while the slot is free
};

// Ready descriptors taken from one wait at most; what is left stays ready
// (level-triggered) and comes with the next wait.
const int kReadyPerWait = 1024;
// A change the backend refused (out of memory) is tried again before each
// wait, and the waits are this short meanwhile.
const int kRetryChangeMs = 50;

}  // namespace

struct EventLoop {
  int setSize;
  FdEntry *fds;
  WaitSet *wait;
  std::vector<TimerSlot> slots;
  std::vector<int> freeSlots;
  std::vector<int> heap;  // slot numbers, earliest deadline first
  uint64_t nextOrder;
  LoopHook beforeWait;
  void *hookRecord;
  int firstFd;  // see SetFirstFd; -1 none
  std::vector<int> changes;  // descriptors whose mask the backend lacks
  int64_t passNow;  // see PassNowMs; 0 outside a pass
  bool stop;
  int readyFds[kReadyPerWait];
  int readyMasks[kReadyPerWait];
};

namespace {

bool Earlier(const EventLoop *l, int a, int b) {
  const TimerSlot &x = l->slots[(size_t)a], &y = l->slots[(size_t)b];
  return x.deadline != y.deadline ? x.deadline < y.deadline : x.order < y.order;
}

void Place(EventLoop *l, size_t at, int slot) {
  l->heap[at] = slot;
  l->slots[(size_t)slot].heapIndex = (int)at;
}

void SiftUp(EventLoop *l, size_t at) {
  int slot = l->heap[at];
  while (at > 0) {
    size_t parent = (at - 1) / 2;
    if (!Earlier(l, slot, l->heap[parent])) break;
    Place(l, at, l->heap[parent]);
    at = parent;
  }
  Place(l, at, slot);
}

void SiftDown(EventLoop *l, size_t at) {
  int slot = l->heap[at];
  size_t n = l->heap.size();
  for (;;) {
    size_t child = 2 * at + 1;
    if (child >= n) break;
    if (child + 1 < n && Earlier(l, l->heap[child + 1], l->heap[child])) child++;
    if (!Earlier(l, l->heap[child], slot)) break;
    Place(l, at, l->heap[child]);
    at = child;
  }
  Place(l, at, slot);
}

// Takes the slot out of the heap and frees it for the next timer.
void Release(EventLoop *l, int slot) {
  TimerSlot &t = l->slots[(size_t)slot];
  size_t at = (size_t)t.heapIndex;
  int last = l->heap.back();
  l->heap.pop_back();
  if (at < l->heap.size()) {
    Place(l, at, last);
    SiftDown(l, at);
    SiftUp(l, (size_t)l->slots[(size_t)last].heapIndex);
  }
  t.heapIndex = -1;
  t.generation++;
  l->freeSlots.push_back(slot);
}

int64_t MakeId(uint32_t generation, int slot) {
  return ((int64_t)generation << 32) | (int64_t)((uint32_t)slot + 1u);
}

// Runs the timers due now that were added before this call: a handler that
// adds a timer due at once gets it run in the next pass, not in a loop here.
int FireTimers(EventLoop *l) {
  int64_t now = l->passNow;
  uint64_t limit = l->nextOrder;
  int fired = 0;
  while (!l->heap.empty()) {
    int slot = l->heap[0];
    TimerSlot &t = l->slots[(size_t)slot];
    if (t.deadline > now || t.order >= limit) break;
    TimerHandler handler = t.handler;
    void *record = t.record;
    int64_t id = MakeId(t.generation, slot);
    Release(l, slot);
    handler(l, id, record);
    fired++;
  }
  return fired;
}

// Brings the backend to the mask asked for; 0, or -1 when it refused.
int Apply(EventLoop *l, int fd) {
  FdEntry &e = l->fds[fd];
  e.queued = false;
  if (e.mask == e.kernelMask) return 0;
  if (WaitChange(l->wait, fd, e.kernelMask, e.mask) != 0) return -1;
  e.kernelMask = e.mask;
  return 0;
}

// Notes that fd's mask changed; the backend hears of it before the wait.
void Queue(EventLoop *l, int fd) {
  FdEntry &e = l->fds[fd];
  if (e.queued || e.mask == e.kernelMask) return;
  try {
    l->changes.push_back(fd);
    e.queued = true;
  } catch (...) {
    Apply(l, fd);  // no room to note it: made now
  }
}

// Makes the noted changes; whether one was refused and stays noted.
bool ApplyChanges(EventLoop *l) {
  size_t kept = 0;
  for (size_t i = 0; i < l->changes.size(); i++) {
    int fd = l->changes[i];
    if (!l->fds[fd].queued) continue;  // dropped meanwhile
    if (Apply(l, fd) != 0) {
      l->fds[fd].queued = true;
      l->changes[kept++] = fd;
    }
  }
  l->changes.resize(kept);
  return kept > 0;
}

}  // namespace

const char *EventLoopBackend() { return WaitBackendName(); }

EventLoop *CreateEventLoop(int setSize) {
  if (setSize <= 0 || WaitCapacity(setSize) < setSize) return nullptr;
  EventLoop *l = new (std::nothrow) EventLoop();
  if (!l) return nullptr;
  l->setSize = setSize;
  l->fds = (FdEntry *)calloc((size_t)setSize, sizeof(FdEntry));
  l->wait = l->fds ? WaitCreate(setSize) : nullptr;
  if (!l->wait) {
    free(l->fds);
    delete l;
    return nullptr;
  }
  l->nextOrder = 0;
  l->beforeWait = nullptr;
  l->hookRecord = nullptr;
  l->firstFd = -1;
  l->stop = false;
  l->passNow = 0;
  return l;
}

void DeleteEventLoop(EventLoop *l) {
  if (!l) return;
  WaitFree(l->wait);
  free(l->fds);
  delete l;
}

int EventLoopSize(const EventLoop *l) { return l->setSize; }

int WatchFd(EventLoop *l, int fd, int mask, FdHandler handler, void *record) {
  if (fd < 0 || fd >= l->setSize) return -1;
  FdEntry &e = l->fds[fd];
  e.mask = (unsigned char)mask;
  e.handler = handler;
  e.record = record;
  Queue(l, fd);
  return 0;
}

int SetFdMask(EventLoop *l, int fd, int mask) {
  if (fd < 0 || fd >= l->setSize || !l->fds[fd].handler) return -1;
  l->fds[fd].mask = (unsigned char)mask;
  Queue(l, fd);
  return 0;
}

namespace {

void Forget(EventLoop *l, int fd, bool closing) {
  if (fd < 0 || fd >= l->setSize) return;
  FdEntry &e = l->fds[fd];
  // The backend lets go at once: a descriptor shared with another process
  // (a listening socket) stays in the kernel's set after this one closes.
  if (e.kernelMask != 0 && !(closing && WaitDropsClosed()))
    WaitChange(l->wait, fd, e.kernelMask, 0);
  e.mask = e.kernelMask = 0;
  e.queued = false;
  e.handler = nullptr;
  e.record = nullptr;
  if (fd == l->firstFd) l->firstFd = -1;
}

}  // namespace

void UnwatchFd(EventLoop *l, int fd) { Forget(l, fd, false); }

void ForgetClosingFd(EventLoop *l, int fd) { Forget(l, fd, true); }

void SetFirstFd(EventLoop *l, int fd) { l->firstFd = fd; }

int64_t AddTimer(EventLoop *l, int64_t ms, TimerHandler handler, void *record) {
  int slot;
  try {
    if (l->freeSlots.empty()) {
      l->slots.push_back(TimerSlot{0, 0, nullptr, nullptr, 1, -1});
      l->freeSlots.push_back((int)l->slots.size() - 1);
    }
    l->heap.reserve(l->slots.size());
  } catch (...) {
    return -1;
  }
  slot = l->freeSlots.back();
  l->freeSlots.pop_back();
  TimerSlot &t = l->slots[(size_t)slot];
  t.deadline = NowMs() + (ms > 0 ? ms : 0);
  t.order = l->nextOrder++;
  t.handler = handler;
  t.record = record;
  l->heap.push_back(slot);  // within the reserved room: cannot throw
  SiftUp(l, l->heap.size() - 1);
  return MakeId(t.generation, slot);
}

int DeleteTimer(EventLoop *l, int64_t id) {
  if (id <= 0) return -1;
  uint32_t low = (uint32_t)(id & 0xffffffff);
  if (low == 0 || low > l->slots.size()) return -1;
  int slot = (int)(low - 1);
  TimerSlot &t = l->slots[(size_t)slot];
  if (t.heapIndex < 0 || t.generation != (uint32_t)(id >> 32)) return -1;
  Release(l, slot);
  return 0;
}

void SetBeforeWait(EventLoop *l, LoopHook hook, void *record) {
  l->beforeWait = hook;
  l->hookRecord = record;
}

void StopEventLoop(EventLoop *l) { l->stop = true; }

int RunEventLoopOnce(EventLoop *l, int maxWaitMs) {
  int timeout = maxWaitMs;
  if (!l->heap.empty()) {
    int64_t left = l->slots[(size_t)l->heap[0]].deadline - NowMs();
    if (left < 0) left = 0;
    if (timeout < 0 || left < timeout) timeout = (int)(left > 2000000000 ? 2000000000 : left);
  }
  if (ApplyChanges(l) && (timeout < 0 || timeout > kRetryChangeMs)) timeout = kRetryChangeMs;
  int n = WaitReady(l->wait, timeout, l->readyFds, l->readyMasks, kReadyPerWait);
  l->passNow = NowMs();
  int handled = 0;
  if (l->firstFd >= 0) {
    // A full batch may have left it out while taking a descriptor that
    // became ready after it: then its handler runs anyway (its reads find
    // nothing when nothing came).
    int ready = n == kReadyPerWait ? kLoopReadable : 0;
    for (int i = 0; i < n; i++) {
      if (l->readyFds[i] != l->firstFd) continue;
      ready = l->readyMasks[i];
      l->readyMasks[i] = 0;
      break;
    }
    FdEntry &e = l->fds[l->firstFd];
    ready &= e.mask;
    if (ready != 0 && e.handler) {
      e.handler(l, l->firstFd, e.record, ready);
      handled++;
    }
  }
  for (int i = 0; i < n; i++) {
    int fd = l->readyFds[i];
    // An earlier handler of this pass may have dropped the descriptor, or
    // closed it and had the number reused: only what is watched now counts.
    FdEntry &e = l->fds[fd];
    int ready = l->readyMasks[i] & e.mask;
    if (ready == 0 || !e.handler) continue;
    e.handler(l, fd, e.record, ready);
    handled++;
  }
  handled += FireTimers(l);
  l->passNow = 0;
  return handled;
}

int64_t PassNowMs(const EventLoop *l) { return l && l->passNow ? l->passNow : NowMs(); }

void RunEventLoop(EventLoop *l) {
  l->stop = false;
  while (!l->stop) {
    if (l->beforeWait) l->beforeWait(l, l->hookRecord);
    if (l->stop) break;
    RunEventLoopOnce(l, -1);
  }
}
