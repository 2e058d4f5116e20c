#include "main_loop.h"

#include <cerrno>
#include <cstdio>

#include "client_limits.h"
#include "connections.h"
#include "conn_io.h"
#include "event_loop.h"
#include "http_server.h"
#include "kept_files.h"
#include "network.h"
#include "request_io.h"
#include "rotating_log.h"
#include "sockets.h"
#include "startup.h"
#include "passwords.h"
#include "worker.h"

namespace {

const char kLowFileLimit[] =
    "WARNING! The open file limit is %ld; MaxConnections=%u needs %ld.\n";
const char kNoLoop[] = "Could not create the event loop.\n";

// Connections taken from the listen queue in one event at most, so that
// a flood of new clients cannot hold up those already connected.
const int kAcceptsPerPass = 16;
// Log lines are not flushed one by one; once a second someone watching the
// log file sees them. The same tick releases kept files left unasked for
// this long, and the request buffers a burst needed and the last second
// did not.
const int64_t kFlushEveryMs = 1000;
// On a stop, answers being sent get this long to finish.
const int64_t kStopGraceMs = 5000;
const time_t kKeptFileIdleSeconds = 5;
// Descriptors beside the connections' own: listening socket, log file,
// standard streams, the loop's own, a directory being listed, the roots
// and the kept files (and the one their changes are read from).
const long kSpareDescriptors = 64 + kKeptFiles + 1;
const int kPasswordThreads = 2;

int64_t Seconds(int s) { return s > 0 ? (int64_t)s * 1000 : 0; }

void OnDeadline(EventLoop *loop, int64_t id, void *record);

// When the connection must next be looked at (0: never): the end of its
// wait for the next request, the head deadline while a request arrives,
// the next progress check while answering, the moment a held reply goes.
int64_t NextLook(const Connection *c) {
  if (c->state == ConnState::kHolding) return c->deadlines.replyAt;
  if (c->state == ConnState::kChecking) return 0;
  if (c->state == ConnState::kResponding) return c->deadlines.progressAt;
  if (WaitingForNextRequest(c)) return c->deadlines.keepAliveAt;
  return c->deadlines.headDeadline;
}

// Makes the connection's timer fire by NextLook. A later deadline than the
// pending timer's leaves the timer alone: it fires, finds the deadline
// ahead and waits for the rest.
void Schedule(Connection *c) {
  c->deadline = NextLook(c);
  if (c->deadline == 0) return;  // a pending timer finds nothing to do
  if (c->timer > 0 && c->due <= c->deadline) return;
  EventLoop *loop = c->server->loop;
  if (c->timer > 0) DeleteTimer(loop, c->timer);
  int64_t ms = c->deadline - LoopNowMs();
  c->timer = AddTimer(loop, ms > 0 ? ms : 0, OnDeadline, c);
  c->due = c->deadline;
}

void AfterEvent(Connection *c, int result);

// A worker judged the request's password: the answer follows.
void OnPasswordAnswered(void *owner, bool match) {
  Connection *c = static_cast<Connection *>(owner);
  c->check = nullptr;
  AfterEvent(c, ContinueResponse(c, match));
}

void OnDeadline(EventLoop *, int64_t, void *record) {
  Connection *c = static_cast<Connection *>(record);
  c->timer = 0;
  int64_t at = NextLook(c);
  if (at == 0) return;
  int64_t now = LoopNowMs();
  if (now < at) {
    Schedule(c);
    return;
  }
  if (c->state == ConnState::kHolding) {
    // The refused login waited its time: its reply goes now.
    c->state = ConnState::kResponding;
    AfterEvent(c, OnWriteResponse(c));
    return;
  }
  if (c->state == ConnState::kResponding) {
    // An answer ends only when it made no progress for the idle time.
    uint64_t sum = c->output.bytesSent + c->request.bytesReceived;
    if (sum != c->deadlines.idleMark) {
      c->deadlines.idleMark = sum;
      c->deadlines.progressAt = now + Seconds(c->server->timeout);
      Schedule(c);
      return;
    }
  }
  // A late head is logged; a wait between requests ends quietly.
  EndConnection(c);
}

// After a handler: the next request if the answer is done on a persistent
// connection, then the deadline and the readiness that fit the new state.
void AfterEvent(Connection *c, int result) {
  HttpServer *s = c->server;
  while (result == -1 && c->output.keepAlive == '1') {
    result = ServeNext(c);
    // The wait for this next request starts now.
    c->deadlines.keepAliveAt = PassNowMs(s->loop) + Seconds(s->keepAliveTimeout);
  }
  if (result == -1) {
    EndConnection(c);
    return;
  }
  if (c->state == ConnState::kChecking) {
    // Only this connection waits for the check: unwatched, no deadline
    // (the check ends, or the server does).
    SetFdMask(s->loop, c->io.fd, 0);
    const ParsedRequest &r = c->request;
    // The check copies what it needs; it may answer at once (out of
    // memory), and then the answer has run already.
    c->check = CheckPasswordOffLoop(s->worker, r.credentials + r.passwordOffset,
                                    r.storedHash, c, OnPasswordAnswered);
    return;
  }
  if (c->state == ConnState::kResponding && c->deadlines.progressAt == 0 && s->timeout > 0)
    c->deadlines.progressAt = LoopNowMs() + Seconds(s->timeout);
  // Bytes TLS has already decrypted do not make the socket readable: a
  // request that came with them is read now, not after a wait that may
  // never end.
  if (c->state == ConnState::kReading && ConnPending(&c->io) > 0) {
    AfterEvent(c, OnReadRequest(c));
    return;
  }
  Schedule(c);
  // A held reply waits for its time, not for its socket. TLS may need the
  // other readiness than the answer's own (a handshake message to read
  // while answering, or to write while reading).
  int mask = c->state == ConnState::kHolding ? 0 : c->state == ConnState::kResponding ? kLoopWritable : kLoopReadable;
  if (mask != 0 && c->io.want != 0) mask = c->io.want;
  SetFdMask(s->loop, c->io.fd, mask);
}

// Bytes from a balancer: its header, then the request that may have come
// with it.
int OnProxyBytes(Connection *c) {
  int r = TakeProxyHeader(c);
  return r > 0 ? OnReadRequest(c) : r;
}

void OnConnectionEvent(EventLoop *, int, void *record, int) {
  Connection *c = static_cast<Connection *>(record);
  // Stale readiness from before the hold or the check.
  if (c->state == ConnState::kHolding || c->state == ConnState::kChecking) return;
  int result = c->state == ConnState::kResponding     ? OnWriteResponse(c)
               : c->state == ConnState::kProxyHeader ? OnProxyBytes(c)
                                                     : OnReadRequest(c);
  AfterEvent(c, result);
}

void OnListenerEvent(EventLoop *, int fd, void *record, int) {
  OnAccept(static_cast<HttpServer *>(record), fd);
}

void OnAcceptRested(void *record) {
  HttpServer *s = static_cast<HttpServer *>(record);
  if (s->clients < s->maxConnections) WatchListeners(s, kLoopReadable);
}

void OnFlushTimer(EventLoop *loop, int64_t, void *record) {
  HttpServer *s = static_cast<HttpServer *>(record);
  if (s->log) FlushLog(s->log, time(nullptr));
  ExpireKeptFiles(time(nullptr) - kKeptFileIdleSeconds);
  TrimBufferPool(&s->spaces);
  AddTimer(loop, kFlushEveryMs, OnFlushTimer, s);
}

void OnGraceOver(EventLoop *loop, int64_t, void *) { StopEventLoop(loop); }

// Stopping: nothing new is taken and connections not answering are ended;
// the loop ends once no answer is in flight (or the grace time is over).
void DrainForStop(EventLoop *loop, HttpServer *s) {
  if (!s->stopping) {
    s->stopping = true;
    WatchListeners(s, 0);
    AddTimer(loop, kStopGraceMs, OnGraceOver, s);
  }
  Connection *c = s->connections;
  bool answering = false;
  while (c) {
    if (c->state == ConnState::kResponding) {
      answering = true;
      c = c->next;
    } else {
      c = EndConnection(c);
    }
  }
  if (!answering) StopEventLoop(loop);
}

void BeforeWait(EventLoop *loop, void *record) {
  HttpServer *s = static_cast<HttpServer *>(record);
  if (StopRequested()) {
    DrainForStop(loop, s);
    return;
  }
  if (TakeReopenRequest() && s->log) ReopenLog(s->log);
  if (TakeReloadRequest()) {
    ReloadServer(s);
    // Whichever listening sockets the reload left are watched.
    WatchFd(loop, s->listenSocket, kLoopReadable, OnListenerEvent, s);
    if (s->tlsListenSocket >= 0)
      WatchFd(loop, s->tlsListenSocket, kLoopReadable, OnListenerEvent, s);
  }
  if (s->retired) DropRetiredLists(s, false);
  // Places freed since the last wait: the listening sockets are watched
  // once more, unless the process is out of descriptors (the rest timer
  // brings them back then).
  if (!s->limits.resting && s->clients < s->maxConnections)
    WatchListeners(s, kLoopReadable);
}

}  // namespace

int InitLoop(HttpServer *s) {
  long need = 2 * (long)s->maxConnections + kSpareDescriptors;
  long limit = RaiseDescriptorLimit(need);
  if (limit >= 0 && limit < need)
    fprintf(stderr, kLowFileLimit, limit, s->maxConnections, need);
  long size = limit > 0 && limit < need ? limit : need;
  s->loop = CreateEventLoop((int)size);
  s->roomConnections = s->maxConnections;
  s->limits.rested = OnAcceptRested;
  s->limits.restedRecord = s;
  if (!s->loop || InitAddressTable(&s->limits, s->maxConnections) != 0) {
    fputs(kNoLoop, stderr);
    return -1;
  }
  // Two threads: a second check need not wait for the first to end.
  s->worker = StartWorker(s->loop, kPasswordThreads);
  return 0;
}

void CloseLoop(HttpServer *s) {
  if (s->loop) StopWatchingKeptFiles(s->loop);
  StopWorker(s->worker);
  s->worker = nullptr;
  FreeAddressTable(&s->limits);
  DeleteEventLoop(s->loop);
  s->loop = nullptr;
}

void WatchListeners(HttpServer *s, int mask) {
  if (s->listenSocket >= 0) SetFdMask(s->loop, s->listenSocket, mask);
  if (s->tlsListenSocket >= 0) SetFdMask(s->loop, s->tlsListenSocket, mask);
}

void OnAccept(HttpServer *s, int listener) {
  for (int taken = 0; taken < kAcceptsPerPass && s->clients < s->maxConnections;
       taken++) {
    NetAddress peer;
    errno = 0;
    int fd = AcceptFrom(listener, EventLoopSize(s->loop), &peer);
    if (fd < 0) {
      if (ShortOfDescriptors(errno) && RestListener(s->loop, &s->limits) == 0)
        WatchListeners(s, 0);
      return;
    }
    Connection *c = AddConnection(fd, s, peer.text);
    if (!c) {
      CloseConnection(fd);
      return;
    }
    s->clients++;
    if (listener == s->tlsListenSocket) c->secure = '1';
    // A balancer holds every client's connections: its own are judged by
    // the client its header names, and its TLS starts after the header.
    bool proxied = MustSendProxyHeader(&s->proxies, &peer);
    if (proxied) c->state = ConnState::kProxyHeader;
    // One address may not take every place: the one over its share is
    // closed at once (and logged like any connection).
    bool over = CountClient(&s->limits, c->clientAddress) > s->limits.maxPerAddress && !proxied;
    // The encrypted listener's connections speak TLS from their first
    // byte; the handshake runs inside the first reads.
    bool tlsFailed = c->secure == '1' && !proxied && ConnStartTls(&c->io, s->tlsContext) != 0;
    if (tlsFailed || over ||
        WatchFd(s->loop, fd, kLoopReadable, OnConnectionEvent, c) != 0) {
      EndConnection(c);
      continue;
    }
    // A client sends its request as soon as it is connected, so it is
    // usually here already: reading it now spares a pass of the loop.
    AfterEvent(c, proxied ? OnProxyBytes(c) : OnReadRequest(c));
  }
  // Full: the listening socket is left out until a place is free, so a
  // waiting client cannot keep the loop awake.
  if (s->clients >= s->maxConnections) WatchListeners(s, 0);
}

int RunWorker(int index, void *record) {
  HttpServer *s = static_cast<HttpServer *>(record);
  TakeWorkerSockets(s, index);
  JoinClientLimits(&s->limits, index);
  if (InitLoop(s) != 0) return 1;
  RunLoop(s);
  // As a single process ends: the open connections write their access
  // lines before the log is closed.
  Connection *c = s->connections;
  while (c) c = EndConnection(c);
  if (s->log) CloseLog(s->log);
  CloseServer(s);
  return 0;
}

void RunLoop(HttpServer *s) {
  if (!s->loop) return;
  WatchFd(s->loop, s->listenSocket, kLoopReadable, OnListenerEvent, s);
  if (s->tlsListenSocket >= 0)
    WatchFd(s->loop, s->tlsListenSocket, kLoopReadable, OnListenerEvent, s);
  SetBeforeWait(s->loop, BeforeWait, s);
  WatchKeptFiles(s->loop);
  AddTimer(s->loop, kFlushEveryMs, OnFlushTimer, s);
  RunEventLoop(s->loop);
}
