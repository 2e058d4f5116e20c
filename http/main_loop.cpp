#include "main_loop.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "client_limits.h"
#include "connections.h"
#include "http_server.h"
#include "request_io.h"
#include "rotating_log.h"
#include "sockets.h"

volatile sig_atomic_t stopRequested = 0;

namespace {

void Watch(int fd, fd_set *set, int *highest) {
  if (!FdFits(fd) || FD_ISSET(fd, set)) return;
  FD_SET(fd, set);
  if (fd > *highest) *highest = fd;
}

// The idle check runs at least this often (in passes) even on a busy server.
const int kPassesPerIdleCheck = 50;
// Connections taken from the listen queue in one pass at most, so that
// a flood of new clients cannot hold up those already connected.
const int kAcceptsPerPass = 16;

}  // namespace

int setfds(fd_set *readSet, fd_set *writeSet, fd_set *exceptSet,
           HttpServer *s) {
  FD_ZERO(readSet);
  FD_ZERO(writeSet);
  FD_ZERO(exceptSet);
  int highest = 0;
  // While the server is full (or out of descriptors) the listening socket
  // is left out: a waiting client would keep it readable and turn the loop
  // into a spin. The exception set stays empty for the same reason: urgent
  // data a peer sends would keep it ready while nothing acts on it.
  if (s->listenSocket >= 0 && s->clients < s->maxConnections &&
      s->acceptPaused != '1')
    Watch(s->listenSocket, readSet, &highest);
  // A connection holding its reply ('2') waits for its time, not for
  // its socket.
  for (Connection *c = s->connections; c; c = c->next)
    if (c->state != '2')
      Watch(c->socket, c->state == '1' ? writeSet : readSet, &highest);
  return highest;
}

void CheckIdle(HttpServer *s) {
  if (s->timeout <= 0) return;
  time_t now = time(nullptr);
  Connection *c = s->connections;
  while (c) {
    uint64_t sum = c->bytesSent + c->bytesReceived;
    if (c->state == '2') {
      // Quiet on purpose: its reply is held back, not forgotten.
      c->lastActive = now;
      c = c->next;
      continue;
    }
    if (sum == c->idleMark && now - c->lastActive > s->timeout) {
      c = EndConnection(c);
      continue;
    }
    if (sum != c->idleMark) c->lastActive = now;
    c->idleMark = sum;
    c = c->next;
  }
}

void OnAccept(HttpServer *s) {
  // Under load several clients wait in the listen queue; taking a few of
  // them per pass spares a select for each. The queue is read until it is
  // empty, the server is full or the pass has taken its share.
  for (int taken = 0; taken < kAcceptsPerPass && s->clients < s->maxConnections;
       taken++) {
    char peer[16];
    errno = 0;
    int fd = AcceptClient(s->listenSocket, peer, nullptr);
    if (fd < 0) {
      // Out of descriptors the waiting client cannot be taken; retrying at
      // once would spin, so the listening socket rests for one wait.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS ||
          errno == ENOMEM)
        s->acceptPaused = '1';
      return;
    }
    Connection *c = AddConnection(fd, s, peer);
    if (!c) {
      CloseConnection(fd);
      return;
    }
    s->clients++;
    // One address may not take every place: the one over its share is
    // closed at once (and logged like any connection).
    if (OverAddressLimit(s, c)) {
      EndConnection(c);
      continue;
    }
    // A client sends its request as soon as it is connected, so it is
    // usually here already: reading it now, rather than after another
    // wait, spares a pass of the loop per request. Nothing there yet costs
    // one receive that would block.
    if (OnReadRequest(c) == -1) EndConnection(c);
  }
}

void RunLoop(HttpServer *s) {
  int passes = 0;
  fd_set readSet, writeSet, exceptSet;
  while (!stopRequested && (s->maxConnections != 0 || s->clients > 0)) {
    if (s->clients >= s->maxConnections || passes == kPassesPerIdleCheck) {
      CheckIdle(s);
      passes = 0;
    }
    passes++;
    CheckDeadlines(s);
    int ready = 0;
    int waits = 0;
    do {
      int highest = setfds(&readSet, &writeSet, &exceptSet, s);
      // At most a second, less when a deadline comes sooner.
      int64_t ms = UntilNextDeadline(s, 1000);
      struct timeval tv = {(time_t)(ms / 1000), (suseconds_t)(ms % 1000 * 1000)};
      ready = select(highest + 1, &readSet, &writeSet, &exceptSet, &tv);
      s->acceptPaused = '0';
      waits++;
      // Lines are not flushed one by one; a quiet second is the moment to
      // let someone watching the log file see them.
      if (ready == 0 && s->log && s->log->stream) fflush(s->log->stream);
    } while (ready == 0 && waits < s->timeout && !stopRequested &&
             UntilNextDeadline(s, 1000) > 0);
    if (stopRequested) break;
    if (ready > 0) {
      if (s->listenSocket >= 0 && FdFits(s->listenSocket) &&
          FD_ISSET(s->listenSocket, &readSet) &&
          s->clients < s->maxConnections)
        OnAccept(s);
      Connection *c = s->connections;
      while (c) {
        int r = 0;
        if (!FdFits(c->socket)) {
          r = -1;
        } else if (FD_ISSET(c->socket, &readSet)) {
          r = OnReadRequest(c);
        } else if (FD_ISSET(c->socket, &writeSet)) {
          r = OnWriteResponse(c);
        }
        c = r == -1 ? EndConnection(c) : c->next;
      }
    } else if (ready == 0) {
      CheckIdle(s);
    }
  }
}
