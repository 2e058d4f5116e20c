// Waiting with select(), for systems without epoll: descriptors up to
// FD_SETSIZE, and each wait scans the sets up to the highest one.
#include <cerrno>
#include <cstdlib>
#include <sys/select.h>

#include "event_loop.h"
#include "event_wait.h"

struct WaitSet {
  fd_set readSet, writeSet;
  int highest;  // -1 when no descriptor is watched
  int watched;
};

int WaitCapacity(int want) { return want < FD_SETSIZE ? want : FD_SETSIZE; }

WaitSet *WaitCreate(int setSize) {
  if (setSize > FD_SETSIZE) return nullptr;
  WaitSet *s = (WaitSet *)calloc(1, sizeof(WaitSet));
  if (!s) return nullptr;
  FD_ZERO(&s->readSet);
  FD_ZERO(&s->writeSet);
  s->highest = -1;
  return s;
}

void WaitFree(WaitSet *s) { free(s); }

int WaitChange(WaitSet *s, int fd, int before, int after) {
  if (fd < 0 || fd >= FD_SETSIZE) return -1;
  if (after & kLoopReadable) FD_SET(fd, &s->readSet); else FD_CLR(fd, &s->readSet);
  if (after & kLoopWritable) FD_SET(fd, &s->writeSet); else FD_CLR(fd, &s->writeSet);
  if (before == 0 && after != 0) s->watched++;
  if (before != 0 && after == 0) s->watched--;
  if (after != 0 && fd > s->highest) s->highest = fd;
  while (s->highest >= 0 && !FD_ISSET(s->highest, &s->readSet) &&
         !FD_ISSET(s->highest, &s->writeSet))
    s->highest--;
  return 0;
}

int WaitReady(WaitSet *s, int timeoutMs, int *fds, int *ready, int room) {
  fd_set r = s->readSet, w = s->writeSet;
  struct timeval tv, *limit = nullptr;
  if (timeoutMs >= 0) {
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    limit = &tv;
  }
  int n = select(s->highest + 1, &r, &w, nullptr, limit);
  if (n < 0) return errno == EINTR ? 0 : -1;
  int count = 0;
  for (int fd = 0; fd <= s->highest && count < room; fd++) {
    int mask = (FD_ISSET(fd, &r) ? kLoopReadable : 0) |
               (FD_ISSET(fd, &w) ? kLoopWritable : 0);
    if (!mask) continue;
    fds[count] = fd;
    ready[count++] = mask;
  }
  return count;
}

const char *WaitBackendName() { return "select"; }

bool WaitDropsClosed() { return false; }
