#include "main_loop.h"

#include <cerrno>
#include <cstdio>

#include "connections.h"
#include "event_loop.h"
#include "http_server.h"
#include "request_io.h"
#include "rotating_log.h"
#include "sockets.h"

volatile sig_atomic_t stopRequested = 0;

namespace {

const char kLowFileLimit[] =
    "WARNING! The open file limit is %ld; MaxConnections=%u needs %ld.\n";
const char kNoLoop[] = "Could not create the event loop.\n";

// Connections taken from the listen queue in one event at most, so that
// a flood of new clients cannot hold up those already connected.
const int kAcceptsPerPass = 16;
// Log lines are not flushed one by one; once a second someone watching the
// log file sees them.
const int64_t kFlushEveryMs = 1000;
// Out of descriptors, the listening socket rests this long before the
// next try, rather than waking the loop at once for a client it cannot
// take.
const int64_t kAcceptRestMs = 100;
// Descriptors beside the connections' own: listening socket, log file,
// standard streams, the loop's own, a directory being listed.
const long kSpareDescriptors = 64;

int64_t Seconds(int s) { return s > 0 ? (int64_t)s * 1000 : 0; }

void OnDeadline(EventLoop *loop, int64_t id, void *record);

// The connection is next looked at `ms` from now (0: never).
void SetDeadline(Connection *c, int64_t ms) {
  EventLoop *loop = c->server->loop;
  int64_t now = LoopNowMs();
  c->deadline = ms > 0 ? now + ms : 0;
  if (c->deadline == 0) return;  // a pending timer finds nothing to do
  if (c->timer > 0 && c->due <= c->deadline) return;
  if (c->timer > 0) DeleteTimer(loop, c->timer);
  c->timer = AddTimer(loop, ms, OnDeadline, c);
  c->due = c->deadline;
}

// A connection waiting between requests ends when its keep-alive time is
// up; one in the middle of a request when it made no progress for the
// idle time (Timeout).
void OnDeadline(EventLoop *, int64_t, void *record) {
  Connection *c = static_cast<Connection *>(record);
  c->timer = 0;
  if (c->deadline == 0) return;
  int64_t left = c->deadline - LoopNowMs();
  if (left > 0) {
    SetDeadline(c, left);
    return;
  }
  if (!WaitingForNextRequest(c)) {
    uint64_t sum = c->bytesSent + c->bytesReceived;
    if (sum != c->idleMark) {
      c->idleMark = sum;
      SetDeadline(c, Seconds(c->server->timeout));
      return;
    }
  }
  EndConnection(c);
}

// After a handler: the next request if the answer is done on a persistent
// connection, then the deadline and the readiness that fit the new state.
void AfterEvent(Connection *c, int result, bool wasWaiting) {
  bool served = false;
  while (result == -1 && c->keepAlive == '1') {
    result = ServeNext(c);
    served = true;
  }
  if (result == -1) {
    EndConnection(c);
    return;
  }
  HttpServer *s = c->server;
  if (WaitingForNextRequest(c))
    SetDeadline(c, Seconds(s->keepAliveTimeout));
  else if (wasWaiting || served)
    SetDeadline(c, Seconds(s->timeout));
  SetFdMask(s->loop, c->io.fd, c->state == '1' ? kLoopWritable : kLoopReadable);
}

void OnConnectionEvent(EventLoop *, int, void *record, int) {
  Connection *c = static_cast<Connection *>(record);
  bool wasWaiting = WaitingForNextRequest(c);
  int result = c->state == '1' ? OnWriteResponse(c) : OnReadRequest(c);
  AfterEvent(c, result, wasWaiting);
}

void OnListenerEvent(EventLoop *, int, void *record, int) {
  OnAccept(static_cast<HttpServer *>(record));
}

void OnAcceptRested(EventLoop *loop, int64_t, void *record) {
  HttpServer *s = static_cast<HttpServer *>(record);
  s->acceptPaused = '0';
  if (s->clients < s->maxConnections)
    SetFdMask(loop, s->listenSocket, kLoopReadable);
}

void OnFlushTimer(EventLoop *loop, int64_t, void *record) {
  HttpServer *s = static_cast<HttpServer *>(record);
  if (s->log && s->log->stream) fflush(s->log->stream);
  AddTimer(loop, kFlushEveryMs, OnFlushTimer, s);
}

void BeforeWait(EventLoop *loop, void *) {
  if (stopRequested) StopEventLoop(loop);
}

}  // namespace

int InitLoop(HttpServer *s) {
  long need = 2 * (long)s->maxConnections + kSpareDescriptors;
  long limit = RaiseDescriptorLimit(need);
  if (limit >= 0 && limit < need)
    fprintf(stderr, kLowFileLimit, limit, s->maxConnections, need);
  long size = limit > 0 && limit < need ? limit : need;
  s->loop = CreateEventLoop((int)size);
  if (!s->loop) {
    fputs(kNoLoop, stderr);
    return -1;
  }
  return 0;
}

void CloseLoop(HttpServer *s) {
  DeleteEventLoop(s->loop);
  s->loop = nullptr;
}

void OnAccept(HttpServer *s) {
  for (int taken = 0; taken < kAcceptsPerPass && s->clients < s->maxConnections;
       taken++) {
    char peer[16];
    errno = 0;
    int fd = AcceptClientBelow(s->listenSocket, EventLoopSize(s->loop), peer,
                               nullptr);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS ||
          errno == ENOMEM) {
        s->acceptPaused = '1';
        SetFdMask(s->loop, s->listenSocket, 0);
        AddTimer(s->loop, kAcceptRestMs, OnAcceptRested, s);
      }
      return;
    }
    Connection *c = AddConnection(fd, s, peer);
    if (!c) {
      CloseConnection(fd);
      return;
    }
    s->clients++;
    if (WatchFd(s->loop, fd, kLoopReadable, OnConnectionEvent, c) != 0) {
      EndConnection(c);
      continue;
    }
    if (s->keepAliveTimeout > 0) SetNoDelay(fd);
    SetDeadline(c, Seconds(s->timeout));
    // A client sends its request as soon as it is connected, so it is
    // usually here already: reading it now spares a pass of the loop.
    AfterEvent(c, OnReadRequest(c), false);
  }
  // Full: the listening socket is left out until a place is free, so a
  // waiting client cannot keep the loop awake.
  if (s->clients >= s->maxConnections) SetFdMask(s->loop, s->listenSocket, 0);
}

void RunLoop(HttpServer *s) {
  if (!s->loop) return;
  WatchFd(s->loop, s->listenSocket, kLoopReadable, OnListenerEvent, s);
  SetBeforeWait(s->loop, BeforeWait, s);
  AddTimer(s->loop, kFlushEveryMs, OnFlushTimer, s);
  RunEventLoop(s->loop);
}
