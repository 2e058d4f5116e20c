// Waiting with epoll, level-triggered: a descriptor stays reported while it
// is ready, so a handler may leave work for the next pass.
#include <cerrno>
#include <cstdlib>
#include <sys/epoll.h>
#include <unistd.h>

#include "event_loop.h"
#include "event_wait.h"

struct WaitSet {
  int epfd;
  struct epoll_event events[1024];
};

namespace {

unsigned ToEpoll(int mask) {
  return ((mask & kLoopReadable) ? EPOLLIN : 0u) |
         ((mask & kLoopWritable) ? EPOLLOUT : 0u);
}

}  // namespace

int WaitCapacity(int want) { return want; }

WaitSet *WaitCreate(int) {
  WaitSet *s = (WaitSet *)calloc(1, sizeof(WaitSet));
  if (!s) return nullptr;
  s->epfd = epoll_create1(EPOLL_CLOEXEC);
  if (s->epfd < 0) {
    free(s);
    return nullptr;
  }
  return s;
}

void WaitFree(WaitSet *s) {
  if (!s) return;
  close(s->epfd);
  free(s);
}

int WaitChange(WaitSet *s, int fd, int before, int after) {
  struct epoll_event ev;
  ev.events = ToEpoll(after);
  ev.data.fd = fd;
  if (after == 0) {
    // A descriptor closed before it was dropped has left the set already.
    return epoll_ctl(s->epfd, EPOLL_CTL_DEL, fd, &ev) == 0 || errno == ENOENT ||
                   errno == EBADF
               ? 0
               : -1;
  }
  int op = before == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
  if (epoll_ctl(s->epfd, op, fd, &ev) == 0) return 0;
  // The kernel's view differs from ours when a descriptor was closed and
  // its number reused without a word to the loop: take the other way.
  if (op == EPOLL_CTL_MOD && errno == ENOENT)
    return epoll_ctl(s->epfd, EPOLL_CTL_ADD, fd, &ev) == 0 ? 0 : -1;
  if (op == EPOLL_CTL_ADD && errno == EEXIST)
    return epoll_ctl(s->epfd, EPOLL_CTL_MOD, fd, &ev) == 0 ? 0 : -1;
  return -1;
}

int WaitReady(WaitSet *s, int timeoutMs, int *fds, int *ready, int room) {
  int max = room < 1024 ? room : 1024;
  int n = epoll_wait(s->epfd, s->events, max, timeoutMs);
  if (n < 0) return errno == EINTR ? 0 : -1;
  for (int i = 0; i < n; i++) {
    unsigned ev = s->events[i].events;
    fds[i] = s->events[i].data.fd;
    // An error or hang-up is news for whoever reads or writes next.
    int mask = 0;
    if (ev & (EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP)) mask |= kLoopReadable;
    if (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP)) mask |= kLoopWritable;
    ready[i] = mask;
  }
  return n;
}

const char *WaitBackendName() { return "epoll"; }

bool WaitDropsClosed() { return true; }
