// The event loop: timers in deadline order, cancelled and stale ids,
// readiness dispatch, handlers that drop other descriptors, no spinning.
// Built twice: with the platform's backend and with the select() one.
#include <gtest/gtest.h>

#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "event_loop.h"

namespace {

struct Fired {
  std::vector<int> order;
};

void Record(EventLoop *, int64_t, void *record) {
  auto *cell = static_cast<std::pair<Fired *, int> *>(record);
  cell->first->order.push_back(cell->second);
}

// Runs passes until `done` holds or two seconds pass.
template <typename F>
bool RunUntil(EventLoop *l, F done) {
  int64_t end = LoopNowMs() + 2000;
  while (!done() && LoopNowMs() < end) RunEventLoopOnce(l, 50);
  return done();
}

struct Pair {
  int fd[2] = {-1, -1};
  Pair() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd); }
  ~Pair() {
    for (int f : fd)
      if (f >= 0) close(f);
  }
};

struct Seen {
  std::vector<std::pair<int, int>> events;  // fd, ready
};

void Note(EventLoop *, int fd, void *record, int ready) {
  static_cast<Seen *>(record)->events.push_back({fd, ready});
  char sink[64];
  while (read(fd, sink, sizeof sink) > 0) {
  }
}

}  // namespace

TEST(EventLoop, TimersFireByDeadlineAndTiesInOrderAdded) {
  EventLoop *l = CreateEventLoop(64);
  ASSERT_NE(l, nullptr);
  Fired f;
  std::vector<std::pair<Fired *, int>> cells;
  cells.reserve(8);
  const int64_t delays[] = {40, 0, 20, 20, 0, 60};
  for (int i = 0; i < 6; i++) {
    cells.push_back({&f, i});
    EXPECT_GT(AddTimer(l, delays[i], Record, &cells.back()), 0);
  }
  ASSERT_TRUE(RunUntil(l, [&] { return f.order.size() == 6; }));
  EXPECT_EQ(f.order, (std::vector<int>{1, 4, 2, 3, 0, 5}));
  DeleteEventLoop(l);
}

TEST(EventLoop, CancelledAndStaleIdsNeverFireOrCancelAnother) {
  EventLoop *l = CreateEventLoop(64);
  ASSERT_NE(l, nullptr);
  Fired f;
  std::pair<Fired *, int> a{&f, 1}, b{&f, 2}, c{&f, 3};
  int64_t ida = AddTimer(l, 0, Record, &a);
  int64_t idb = AddTimer(l, 10, Record, &b);
  EXPECT_EQ(DeleteTimer(l, idb), 0);
  EXPECT_EQ(DeleteTimer(l, idb), -1);  // already cancelled
  EXPECT_EQ(DeleteTimer(l, 0), -1);
  EXPECT_EQ(DeleteTimer(l, 12345), -1);
  ASSERT_TRUE(RunUntil(l, [&] { return f.order.size() == 1; }));
  EXPECT_EQ(DeleteTimer(l, ida), -1);  // fired
  // The next timer reuses a freed slot: the old ids must not reach it.
  int64_t idc = AddTimer(l, 10, Record, &c);
  EXPECT_NE(idc, ida);
  EXPECT_NE(idc, idb);
  EXPECT_EQ(DeleteTimer(l, ida), -1);
  EXPECT_EQ(DeleteTimer(l, idb), -1);
  ASSERT_TRUE(RunUntil(l, [&] { return f.order.size() == 2; }));
  EXPECT_EQ(f.order, (std::vector<int>{1, 3}));
  DeleteEventLoop(l);
}

// Many timers added and cancelled at random: what fires is exactly what
// was not cancelled, in deadline order.
TEST(EventLoop, ManyTimersKeepTheirOrderThroughCancellations) {
  EventLoop *l = CreateEventLoop(64);
  ASSERT_NE(l, nullptr);
  // Each timer's deadline lies between the clock read just before and
  // just after it was added, plus its delay.
  struct Cell {
    std::vector<const Cell *> *log;
    int64_t earliest, latest;
  };
  std::vector<const Cell *> log;
  std::vector<Cell> cells(2000);
  std::vector<int64_t> ids(cells.size());
  std::mt19937 rnd(7);
  auto fire = [](EventLoop *, int64_t, void *r) {
    Cell *c = static_cast<Cell *>(r);
    c->log->push_back(c);
  };
  std::vector<const Cell *> expected;
  for (size_t i = 0; i < cells.size(); i++) {
    int64_t ms = (int64_t)(rnd() % 200);
    cells[i].log = &log;
    cells[i].earliest = LoopNowMs() + ms;
    ids[i] = AddTimer(l, ms, fire, &cells[i]);
    cells[i].latest = LoopNowMs() + ms;
  }
  for (size_t i = 0; i < cells.size(); i++) {
    if (rnd() % 3 == 0)
      EXPECT_EQ(DeleteTimer(l, ids[i]), 0);
    else
      expected.push_back(&cells[i]);
  }
  ASSERT_TRUE(RunUntil(l, [&] { return log.size() >= expected.size(); }));
  std::vector<const Cell *> got = log;
  std::sort(got.begin(), got.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_TRUE(got == expected) << "fired " << got.size() << " of " << expected.size();
  for (size_t i = 1; i < log.size(); i++)
    EXPECT_LE(log[i - 1]->earliest, log[i]->latest) << "at " << i;
  DeleteEventLoop(l);
}

TEST(EventLoop, ATimerAddedByATimerDueAtOnceWaitsForTheNextPass) {
  EventLoop *l = CreateEventLoop(64);
  ASSERT_NE(l, nullptr);
  int count = 0;
  struct Ctx {
    int *count;
  } ctx{&count};
  TimerHandler again = [](EventLoop *loop, int64_t, void *r) {
    Ctx *c = static_cast<Ctx *>(r);
    ++*c->count;
    AddTimer(loop, 0, [](EventLoop *lp, int64_t, void *rr) {
      ++*static_cast<Ctx *>(rr)->count;
      AddTimer(lp, 0, [](EventLoop *, int64_t, void *) {}, rr);
    }, r);
  };
  AddTimer(l, 0, again, &ctx);
  RunEventLoopOnce(l, 0);
  EXPECT_EQ(count, 1);
  RunEventLoopOnce(l, 0);
  EXPECT_EQ(count, 2);
  DeleteEventLoop(l);
}

TEST(EventLoop, WaitEndsAtTheEarliestTimer) {
  EventLoop *l = CreateEventLoop(64);
  ASSERT_NE(l, nullptr);
  bool fired = false;
  AddTimer(l, 60, [](EventLoop *, int64_t, void *r) { *static_cast<bool *>(r) = true; },
           &fired);
  int64_t start = LoopNowMs();
  int64_t end = start + 2000;
  while (!fired && LoopNowMs() < end) RunEventLoopOnce(l, -1);
  int64_t took = LoopNowMs() - start;
  EXPECT_TRUE(fired);
  EXPECT_GE(took, 59);
  EXPECT_LT(took, 1000);
  DeleteEventLoop(l);
}

TEST(EventLoop, ReadinessGoesToTheRegisteredHandlerWithItsRecord) {
  EventLoop *l = CreateEventLoop(256);
  ASSERT_NE(l, nullptr);
  Pair p;
  ASSERT_GE(p.fd[0], 0);
  ASSERT_LT(p.fd[0], 256);
  Seen seen;
  ASSERT_EQ(WatchFd(l, p.fd[0], kLoopReadable, Note, &seen), 0);
  EXPECT_EQ(RunEventLoopOnce(l, 0), 0);  // nothing to read yet
  ASSERT_EQ(write(p.fd[1], "x", 1), 1);
  ASSERT_TRUE(RunUntil(l, [&] { return !seen.events.empty(); }));
  EXPECT_EQ(seen.events[0], std::make_pair(p.fd[0], (int)kLoopReadable));
  // Writable: an empty socket can take bytes at once.
  seen.events.clear();
  ASSERT_EQ(SetFdMask(l, p.fd[0], kLoopWritable), 0);
  ASSERT_TRUE(RunUntil(l, [&] { return !seen.events.empty(); }));
  EXPECT_EQ(seen.events[0].second, (int)kLoopWritable);
  // Dropped: no more calls, even though it stays writable.
  UnwatchFd(l, p.fd[0]);
  seen.events.clear();
  RunEventLoopOnce(l, 20);
  EXPECT_TRUE(seen.events.empty());
  EXPECT_EQ(WatchFd(l, 256, kLoopReadable, Note, &seen), -1);
  EXPECT_EQ(WatchFd(l, -1, kLoopReadable, Note, &seen), -1);
  DeleteEventLoop(l);
}

// A handler that ends another connection in the same pass: the other one's
// pending readiness must not reach its freed record.
TEST(EventLoop, ADescriptorDroppedEarlierInThePassGetsNoCall) {
  EventLoop *l = CreateEventLoop(256);
  ASSERT_NE(l, nullptr);
  Pair a, b;
  struct Ctx {
    int calls = 0;
    int other = -1;
  } ctxA, ctxB;
  FdHandler drop = [](EventLoop *loop, int, void *r, int) {
    Ctx *c = static_cast<Ctx *>(r);
    c->calls++;
    if (c->other >= 0) UnwatchFd(loop, c->other);
  };
  ctxA.other = b.fd[0];
  ctxB.other = a.fd[0];
  ASSERT_EQ(WatchFd(l, a.fd[0], kLoopReadable, drop, &ctxA), 0);
  ASSERT_EQ(WatchFd(l, b.fd[0], kLoopReadable, drop, &ctxB), 0);
  ASSERT_EQ(write(a.fd[1], "x", 1), 1);
  ASSERT_EQ(write(b.fd[1], "x", 1), 1);
  EXPECT_EQ(RunEventLoopOnce(l, 500), 1);
  EXPECT_EQ(ctxA.calls + ctxB.calls, 1);
  DeleteEventLoop(l);
}

// The backend hears of masks before the wait: a connection closed within
// its pass, or closed with ForgetClosingFd, leaves nothing behind for the
// next descriptor that gets its number.
TEST(EventLoop, ANumberClosedAndGivenOutAgainIsWatchedAfresh) {
  EventLoop *l = CreateEventLoop(256);
  ASSERT_NE(l, nullptr);
  Seen old, fresh;
  Pair *a = new Pair;
  ASSERT_EQ(WatchFd(l, a->fd[0], kLoopReadable, Note, &old), 0);
  ASSERT_EQ(write(a->fd[1], "x", 1), 1);
  ASSERT_TRUE(RunUntil(l, [&] { return !old.events.empty(); }));
  const int number = a->fd[0];
  Pair other;
  ForgetClosingFd(l, number);
  close(a->fd[0]);
  a->fd[0] = -1;
  // With the number closed and free, the others are still served.
  ASSERT_EQ(WatchFd(l, other.fd[0], kLoopReadable, Note, &fresh), 0);
  ASSERT_EQ(write(other.fd[1], "o", 1), 1);
  ASSERT_TRUE(RunUntil(l, [&] { return !fresh.events.empty(); }));
  UnwatchFd(l, other.fd[0]);
  fresh.events.clear();
  Pair b;  // the lowest free number: the one just closed
  ASSERT_EQ(b.fd[0], number);
  ASSERT_EQ(WatchFd(l, b.fd[0], kLoopReadable, Note, &fresh), 0);
  ASSERT_EQ(write(b.fd[1], "z", 1), 1);
  ASSERT_TRUE(RunUntil(l, [&] { return !fresh.events.empty(); }));
  EXPECT_EQ(fresh.events[0], std::make_pair(number, (int)kLoopReadable));
  EXPECT_EQ(old.events.size(), 1u);
  // Watched and dropped before any wait: never reported.
  delete a;
  Pair c;
  ASSERT_EQ(WatchFd(l, c.fd[0], kLoopReadable, Note, &old), 0);
  UnwatchFd(l, c.fd[0]);
  ASSERT_EQ(write(c.fd[1], "x", 1), 1);
  RunEventLoopOnce(l, 20);
  EXPECT_EQ(old.events.size(), 1u);
  DeleteEventLoop(l);
}

// News read first: of the descriptors one wait reports, the one set first
// runs before the others, though it became ready last.
TEST(EventLoop, TheFirstDescriptorRunsAheadOfItsPass) {
  EventLoop *l = CreateEventLoop(256);
  ASSERT_NE(l, nullptr);
  Pair pairs[4];
  Seen seen;
  for (Pair &p : pairs) ASSERT_EQ(WatchFd(l, p.fd[0], kLoopReadable, Note, &seen), 0);
  SetFirstFd(l, pairs[3].fd[0]);
  for (Pair &p : pairs) ASSERT_EQ(write(p.fd[1], "x", 1), 1);
  EXPECT_EQ(RunEventLoopOnce(l, 500), 4);
  ASSERT_EQ(seen.events.size(), 4u);
  EXPECT_EQ(seen.events[0].first, pairs[3].fd[0]);
  DeleteEventLoop(l);
}

struct Ticks {
  int hooks = 0;
  int ticks = 0;
};

void Tick(EventLoop *loop, int64_t, void *r) {
  Ticks *c = static_cast<Ticks *>(r);
  if (++c->ticks == 3)
    StopEventLoop(loop);
  else
    AddTimer(loop, 5, Tick, r);
}

TEST(EventLoop, RunsWithItsHookUntilStopped) {
  EventLoop *l = CreateEventLoop(64);
  ASSERT_NE(l, nullptr);
  Ticks ctx;
  SetBeforeWait(l, [](EventLoop *, void *r) { static_cast<Ticks *>(r)->hooks++; }, &ctx);
  AddTimer(l, 5, Tick, &ctx);
  RunEventLoop(l);
  EXPECT_EQ(ctx.ticks, 3);
  EXPECT_GE(ctx.hooks, 3);
  DeleteEventLoop(l);
}

TEST(EventLoop, SizeAndBackend) {
  EventLoop *l = CreateEventLoop(100);
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(EventLoopSize(l), 100);
  DeleteEventLoop(l);
  EXPECT_EQ(CreateEventLoop(0), nullptr);
  std::string backend = EventLoopBackend();
  if (backend == "select") {
    EXPECT_EQ(CreateEventLoop(FD_SETSIZE + 1), nullptr);
  } else {
    EXPECT_EQ(backend, "epoll");
    EventLoop *big = CreateEventLoop(100000);
    ASSERT_NE(big, nullptr);
    DeleteEventLoop(big);
  }
}
