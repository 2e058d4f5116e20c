// One readiness loop for both servers: descriptors with a handler each,
// timers by id with a millisecond deadline, a hook before every wait.
// One thread; handlers run one at a time and may register, change or drop
// any descriptor or timer, their own included.
#pragma once
#include <cstdint>

#include "clock.h"

struct EventLoop;

// Readiness a descriptor is watched for, and reported with.
enum { kLoopReadable = 1, kLoopWritable = 2 };

typedef void (*FdHandler)(EventLoop *loop, int fd, void *record, int ready);
typedef void (*TimerHandler)(EventLoop *loop, int64_t id, void *record);
typedef void (*LoopHook)(EventLoop *loop, void *record);

// A loop for descriptors 0 .. setSize-1; null when out of memory or when
// the waiting backend cannot hold that many.
EventLoop *CreateEventLoop(int setSize);
void DeleteEventLoop(EventLoop *loop);
// Descriptors the loop can hold (the select backend caps it at FD_SETSIZE).
int EventLoopSize(const EventLoop *loop);
// Name of the waiting backend chosen at build time ("epoll", "select").
const char *EventLoopBackend();

// Registers fd, or changes its mask, handler and record. A mask of 0 keeps
// the descriptor known but unwatched. 0, or -1 (fd out of range). The
// waiting backend hears of masks just before the next wait (and again
// before each wait after it if it refused one, out of memory).
int WatchFd(EventLoop *loop, int fd, int mask, FdHandler handler,
            void *record);
// Changes only the mask of a registered descriptor; 0 or -1.
int SetFdMask(EventLoop *loop, int fd, int mask);
// Forgets fd; call it before the descriptor is closed.
void UnwatchFd(EventLoop *loop, int fd);
// The same, for a descriptor closed right after that no other process or
// descriptor shares (an accepted connection): its close takes it out of
// the kernel's set, so the backend is not called.
void ForgetClosingFd(EventLoop *loop, int fd);
// Makes the registered fd's handler run before any other descriptor's
// reported by the same wait (one such descriptor per loop; -1 none): news
// that arrived before a wait ended is acted on before anything that
// arrived later and was reported with it. Its handler must read without
// blocking: when a wait reports as many descriptors as one pass takes,
// it runs whether or not its descriptor was among them.
void SetFirstFd(EventLoop *loop, int fd);

// A one-shot timer `ms` milliseconds from now; its id (above 0), or -1 when
// out of memory. Timers due at the same moment fire in the order added.
int64_t AddTimer(EventLoop *loop, int64_t ms, TimerHandler handler,
                 void *record);
// Cancels a pending timer; 0, or -1 when the id is not pending (fired,
// cancelled, or never given). Id 0 is never given, so a record's "no
// timer" can be 0.
int DeleteTimer(EventLoop *loop, int64_t id);
// The timers' clock: NowMs, under the name the loop's users know it by.
inline int64_t LoopNowMs() { return NowMs(); }
// The same clock read once per pass: when the pass's wait ended (LoopNowMs
// outside a pass). Deadlines a handler sets from it are early by at most
// the pass's length, and each one costs no clock read.
int64_t PassNowMs(const EventLoop *loop);

// `hook` runs before every wait (flushing buffered log lines, checking a
// stop flag set by a signal).
void SetBeforeWait(EventLoop *loop, LoopHook hook, void *record);
// Waits and dispatches until StopEventLoop.
void RunEventLoop(EventLoop *loop);
// Waits once, at most maxWaitMs (-1: until a descriptor or timer is due),
// and dispatches what is ready; the number of handlers run.
int RunEventLoopOnce(EventLoop *loop, int maxWaitMs);
// Makes RunEventLoop return after the handler now running.
void StopEventLoop(EventLoop *loop);
