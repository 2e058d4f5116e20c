#include "server_loop.h"

#include <cerrno>
#include <initializer_list>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/time.h>
#include <sys/uio.h>

#include "command_channel.h"
#include "dispatcher.h"
#include "event_loop.h"
#include "security_commands.h"
#include "sessions.h"
#include "sockets.h"
#include "throttle.h"
#include "tls.h"
#include "transfers.h"
#include "conn_io.h"
#include "addresses.h"
#include "client_limits.h"
#include "network.h"
#include "proxy_header.h"
#include "startup.h"
#include "deadlines.h"
#include "rotating_log.h"
#include "passwords.h"
#include "session_commands.h"
#include "worker.h"
#include "upload_files.h"

static const char kParseFailed[] = "Could not parse FTP string.\n";
static const char kNoProxyHeader[] =
    "Connection from proxy %s closed: no valid PROXY header.\n";
static const char kClosing[] = "421 Service closing control connection.\r\n";

// Refused commands a session may send before it has logged in.
static const int kRefusalsBeforeLogin = 10;

static const char kLowFileLimit[] =
    "WARNING! The open file limit is %ld; MaxUsers needs %ld.\n";
static const char kNoLoop[] = "Could not create the event loop.\n";

// Decrypted bytes that a receive is due for: the socket will not announce
// them, so the session is looked at again at once.
static bool CmndBytesDue(Request *pReq) {
  return IfCmndSend(pReq) != 0 && IfCmndRecv(pReq) == 0 &&
         ConnPending(&pReq->cmnd.io) > 0;
}

static bool XferBytesDue(Request *pReq) {
  return !DataWaits(pReq) && IfDataRecv(pReq) == 0 &&
         ConnPending(&pReq->xfer.io) > 0;
}

// The readiness a connection is to be watched for: what the last call on
// it waited for, else `natural` (what the session's state wants).
static int WatchFor(const ConnIo &io, int natural) {
  return io.want ? io.want : natural;
}

// Which of a session's sockets an event is for.
enum { kOnCmnd, kOnData, kOnXfer };

static void OnSessionSocket(EventLoop *loop, int fd, void *record, int ready);
static void OnSessionWake(EventLoop *loop, int64_t id, void *record);

// A session whose refused login is held back, or whose password is being
// checked, reads and writes nothing until that is over.
static bool SessionWaits(const Request *r) { return ReplyHeld(r) || r->login.check; }

// A descriptor the loop cannot hold: the session cannot be served.
static bool Watch(Request *pReq, int fd, int mask) {
  if (fd == -1) return true;
  return WatchFd(pReq->pConfig->loop, fd, mask, OnSessionSocket, pReq) == 0;
}

// Sets the readiness each of the session's sockets is watched for from the
// session's state; runs after every handler for the session. Returns false
// when the session had to be ended.
static bool WatchSession(Request *r) {
  int cmndMask = 0, xferMask = 0, dataMask = 0;
  if (!SessionWaits(r)) {
    // A TLS connection may have to wait for the other readiness than its
    // transfer's own (a handshake message to read while sending). A spent
    // bandwidth window leaves the data socket out: a ready socket would
    // only make the loop spin until the window ends.
    if (DataWaits(r))
      ;
    else if (IfDataSend(r) == 0)
      xferMask = WatchFor(r->xfer.io, kLoopWritable);
    else if (IfDataRecv(r) == 0)
      xferMask = WatchFor(r->xfer.io, kLoopReadable);
    if (r->cmnd.state == kCmndProxyHeader)
      cmndMask = kLoopReadable;
    else if (IfCmndSend(r) == 0)
      cmndMask = WatchFor(r->cmnd.io, kLoopWritable);
    else if (IfCmndRecv(r) == 0)
      cmndMask = WatchFor(r->cmnd.io, kLoopReadable);
    if (IfAcceptXfer(r) == 0)
      dataMask = r->xfer.passive ? kLoopReadable : kLoopWritable;
  }
  // A session waiting for its next command holds no command buffers;
  // the first byte that arrives borrows them again.
  if (!SessionWaits(r)) ReturnIdleCommandSpace(r);
  if (!Watch(r, r->cmnd.io.fd, cmndMask) || !Watch(r, r->xfer.io.fd, xferMask) ||
      !Watch(r, r->xfer.listenSocket, dataMask)) {
    CloseRequest(r);
    return false;
  }
  if (r->timers.wake != 0 || SessionWaits(r)) return true;
  int64_t wait = -1;
  if (CmndBytesDue(r) || XferBytesDue(r)) {
    wait = 0;
  } else if (DrainWaitMs(r) >= 0) {
    wait = DrainWaitMs(r);
  } else if (DataWaits(r)) {
    struct timeval timeout = {1, 0};
    ThrottleTimeout(r->pConfig, &timeout);
    wait = (int64_t)timeout.tv_sec * 1000 + (timeout.tv_usec + 999) / 1000;
  }
  if (wait >= 0) {
    int64_t id = AddTimer(r->pConfig->loop, wait, OnSessionWake, r);
    r->timers.wake = id > 0 ? id : 0;
  }
  return true;
}

// Takes the listening socket out while the server is full or resting:
// waiting connections stay in the listen queue, and watching the socket
// then would only wake the loop at once, again and again.
static void WatchListener(Server *pConfig) {
  bool open = pConfig->users < pConfig->MaxUsers && !pConfig->limits.resting;
  for (int fd : {pConfig->listenSocket, pConfig->implicitSocket})
    if (fd != -1) SetFdMask(pConfig->loop, fd, open ? kLoopReadable : 0);
}

Request *OnAccept(Server *pConfig, int listener) {
  NetAddress peer;
  errno = 0;
  int sock = AcceptFrom(listener, SocketRoom(pConfig), &peer);
  if (sock < 0) {
    // A client that left before it was taken is no shortage.
    if (!WouldBlock(errno) && errno != ECONNABORTED) OnAcceptFailed(pConfig);
    return nullptr;
  }
  // A balancer's connection is judged by the client its header names,
  // not by the balancer, which holds every client's connections.
  bool proxied = MustSendProxyHeader(&pConfig->proxies, &peer);
  if (!proxied && RefusedAtAccept(pConfig, sock, peer.text)) return nullptr;
  // A transfer's final reply follows its 150 with no word from the client
  // in between; with Nagle's delay it would wait for the client's delayed
  // acknowledgement (some 40 ms a transfer).
  SetNoDelay(sock);
  SetOobInline(sock);
  Request *pReq = AddRequest(sock, pConfig, peer.text);
  if (!pReq) {
    CloseConnection(sock);  // no session owns it
    OnAcceptFailed(pConfig);
    return nullptr;
  }
  pReq->timers.lastActive = pReq->connectTime;  // the idle clock starts at connect
  bool implicit = listener == pConfig->implicitSocket;
  if (!proxied && implicit && StartImplicitTls(pReq) != 0) {
    CloseRequest(pReq);
    OnAcceptFailed(pConfig);
    return nullptr;
  }
  StartSessionClocks(pReq);
  if (proxied) {
    // The time to log in covers the header's arrival too; on the implicit
    // port the TLS handshake follows the header.
    // The header is kept in the command buffer as it arrives.
    if (!HoldCommandSpace(pReq)) {
      CloseRequest(pReq);
      OnAcceptFailed(pConfig);
      return nullptr;
    }
    pReq->cmnd.state = kCmndProxyHeader;
    pReq->cmnd.implicitAfterHeader = implicit;
  } else {
    SendFTPstring(pReq, Mess220);
  }
  return pReq;
}

// Ends a session after one attempt to send its queued reply, so that a
// well-behaved client learns why. Returns false: the session is gone.
static bool EndSession(Request *pReq) {
  OnWriteCmnd(pReq);
  CloseRequest(pReq);
  return false;
}

// Bytes from a balancer before the greeting: its PROXY header. Once it is
// whole, the session is the named client's: counted, limited, logged and
// matched against its data connections under that address. False when the
// session ended.
static bool OnProxyHeader(Request *pReq) {
  Server *pConfig = pReq->pConfig;
  ProxyHeader header;
  ProxyResult r = ReadProxyHeader(pReq->cmnd.io.fd, (unsigned char *)pReq->cmnd.space->buffer,
                                  &pReq->cmnd.proxyWait, &header);
  if (r == ProxyResult::kNeedMore) return true;
  if (r == ProxyResult::kBad) {
    fprintf(stderr, kNoProxyHeader, pReq->clientAddress.text);
    CloseRequest(pReq);
    return false;
  }
  pReq->cmnd.state = kCmndEmpty;
  if (header.hasSource) {
    UncountClient(&pConfig->limits, pReq->clientAddress.text);
    pReq->clientAddress = header.source;
    // Held before counting, as at accept: the limit is on the others.
    const char *line = AcceptRefusal(pConfig, pReq->clientAddress.text);
    CountClient(&pConfig->limits, pReq->clientAddress.text);
    if (line) {
      SendFTPstring(pReq, line);
      return EndSession(pReq);
    }
  }
  if (pReq->cmnd.implicitAfterHeader && StartImplicitTls(pReq) != 0) {
    CloseRequest(pReq);
    return false;
  }
  SendFTPstring(pReq, Mess220);
  return true;
}

// Counts a command refused before login; true when the session has had
// its share of them. A client that is not logging in has no business
// sending command after command.
static bool RefusedBeforeLogin(Request *pReq, int result) {
  bool loggedIn = pReq->login.permissions[kUSER] == '0' && pReq->login.permissions[kPASS] == '0';
  if (loggedIn || result < 400) return false;
  return ++pReq->login.refusedBeforeLogin >= kRefusalsBeforeLogin;
}

// What follows a command's reply. False when the session ended.
static bool AfterCommand(Request *pReq, int result) {
  if (result == 230) {
    StopLoginClock(pReq);
    SweepAtFirstLogin(pReq);
  }
  // Only a refused password is a failed login; a USER refused for want of
  // TLS is none (the client may still ask for TLS and log in).
  if (result == 530 && pReq->login.passwordRefused) {
    // A failed login: its reply comes a second later, by a timer.
    HoldFailedLogin(pReq);
    return true;
  }
  if (RefusedBeforeLogin(pReq, result)) return EndSession(pReq);
  // One attempt to send the parting reply, so a well-behaved client
  // learns why the connection ends.
  if (result == 221 || result == 332) return EndSession(pReq);
  return true;
}

// A worker has judged the session's password.
static void OnPasswordAnswered(void *owner, bool match) {
  Request *pReq = static_cast<Request *>(owner);
  pReq->login.check = nullptr;
  if (AfterCommand(pReq, FinishPASS(pReq, match))) WatchSession(pReq);
}

// A line (or part of one) has arrived. False when the session ended.
static bool OnCommandBytes(Request *pReq) {
  if (ParseFTPstring(pReq) != 0) {
    // Only a line that ended (or can never end) and was refused counts; a
    // line still arriving is no fault.
    if (pReq->cmnd.state != kCmndQueued) return true;
    fputs(kParseFailed, stderr);
    // A refused line is a command too: a restart offset does not survive it.
    pReq->restOffset = 0;
    return RefusedBeforeLogin(pReq, 500) ? EndSession(pReq) : true;
  }
  int result = DoFTP(pReq);
  pReq->cmnd.lastCommand = TranslateCommand(pReq->cmnd.space->command);
  if (result == kPasswordChecking) {
    // A hash check takes tens of milliseconds: a worker runs it, and
    // only this session waits (its sockets unwatched) for the answer.
    Worker *worker = pReq->pConfig->worker;
    if (!worker)
      return AfterCommand(pReq, FinishPASS(pReq, PasswordMatches(pReq->cmnd.space->argument,
                                                                 pReq->login.passWord.c_str())));
    pReq->login.check = CheckPasswordOffLoop(
        worker, pReq->cmnd.space->argument, pReq->login.passWord.c_str(), pReq, OnPasswordAnswered);
    return true;
  }
  return AfterCommand(pReq, result);
}

// The event one of the session's sockets got; what it is used for follows
// the session's state, not the readiness (TLS may have asked for the other
// one). False when the session ended.
static bool OnSessionEvent(Request *pReq, int which) {
  if (SessionWaits(pReq)) return true;  // readiness from before the hold
  if (which == kOnCmnd && pReq->cmnd.state == kCmndProxyHeader) return OnProxyHeader(pReq);
  if (which == kOnCmnd && IfCmndSend(pReq) != 0) {
    if (OnReadCmnd(pReq) != 0) {
      CloseRequest(pReq);
      return false;
    }
    return OnCommandBytes(pReq);
  }
  if (which == kOnCmnd) {
    // Once a reply is out whole, what it announced follows (the TLS
    // handshake after AUTH TLS).
    if (OnWriteCmnd(pReq) != 0 ||
        (IfCmndSend(pReq) != 0 && AfterReplySent(pReq) != 0)) {
      CloseRequest(pReq);
      return false;
    }
    SendPendingReply(pReq);
    // The reply is out: a command the client sent along with the last one
    // runs now, as no receive will announce it.
    if (CommandLineWaits(pReq)) return OnCommandBytes(pReq);
    return true;
  }
  if (which == kOnData) {
    if (IfAcceptXfer(pReq) == 0) OnAcceptXfer(pReq);
    return true;
  }
  PumpTransfer(pReq);
  return true;
}

static void OnSessionSocket(EventLoop *, int fd, void *record, int) {
  Request *pReq = static_cast<Request *>(record);
  int which = fd == pReq->cmnd.io.fd ? kOnCmnd
              : fd == pReq->xfer.listenSocket ? kOnData
                                       : kOnXfer;
  if (OnSessionEvent(pReq, which)) WatchSession(pReq);
}

// Bytes already decrypted, or the end of a spent bandwidth window.
static void OnSessionWake(EventLoop *, int64_t, void *record) {
  Request *pReq = static_cast<Request *>(record);
  pReq->timers.wake = 0;
  bool alive = true;
  if (CmndBytesDue(pReq))
    alive = OnSessionEvent(pReq, kOnCmnd);
  else if (XferBytesDue(pReq) || DrainWaitMs(pReq) == 0)
    alive = OnSessionEvent(pReq, kOnXfer);
  if (alive) WatchSession(pReq);
}

static void OnListenerEvent(EventLoop *, int fd, void *record, int) {
  Server *pConfig = static_cast<Server *>(record);
  if (pConfig->users >= pConfig->MaxUsers) return;
  Request *pReq = OnAccept(pConfig, fd);
  if (pReq) WatchSession(pReq);
}

// Both listeners and the handler they share.
static void WatchListeners(Server *pConfig) {
  for (int fd : {pConfig->listenSocket, pConfig->implicitSocket})
    if (fd != -1) WatchFd(pConfig->loop, fd, kLoopReadable, OnListenerEvent, pConfig);
}

// Before every wait: sessions ended by any handler or timer may have freed
// a place for the listen queue.
static void BeforeWait(EventLoop *loop, void *record) {
  Server *pConfig = static_cast<Server *>(record);
  if (StopRequested()) {
    StopEventLoop(loop);
    return;
  }
  if (TakeReopenRequest() && pConfig->log) ReopenLog(pConfig->log);
  if (TakeReloadRequest()) {
    ReloadServer(pConfig);
    WatchListeners(pConfig);
  }
  WatchListener(pConfig);
}

// Log lines are written buffered; once a second they reach the file, so
// that the log can be followed while the server runs.
static const int64_t kFlushEveryMs = 1000;

static void OnFlushTimer(EventLoop *loop, int64_t, void *record) {
  Server *pConfig = static_cast<Server *>(record);
  if (pConfig->log) FlushLog(pConfig->log, time(nullptr));
  // Blocks a burst of transfers or long replies left free go back to the
  // system; a steady load keeps what it uses.
  TrimBufferPool(&pConfig->replyBlocks);
  TrimBufferPool(&pConfig->xferBlocks);
  TrimBufferPool(&pConfig->cmndSpaces);
  AddTimer(loop, kFlushEveryMs, OnFlushTimer, pConfig);
}

// Descriptors beside the sessions' own: listening socket, log file,
// standard streams, the loop's own.
static const long kSpareDescriptors = 64;
// A session holds its command and data connections, a passive listener,
// a file and a directory.
static const long kDescriptorsPerSession = 5;
static const int kPasswordThreads = 2;

void RunServer(Server *pConfig) {
  if (pConfig->MaxUsers == 0 || StopRequested()) return;
  long need = kDescriptorsPerSession * (long)pConfig->MaxUsers + kSpareDescriptors;
  long limit = RaiseDescriptorLimit(need);
  long size = limit > 0 && limit < need ? limit : need;
  if (limit > 0 && limit < need) fprintf(stderr, kLowFileLimit, limit, need);
  pConfig->loop = CreateEventLoop((int)(size > 0x7fffffff ? 0x7fffffff : size));
  if (!pConfig->loop || InitAddressTable(&pConfig->limits, pConfig->MaxUsers) != 0) {
    fputs(kNoLoop, stderr);
    return;
  }
  // Two threads: a second check need not wait for the first to end.
  pConfig->worker = StartWorker(pConfig->loop, kPasswordThreads);
  WatchListeners(pConfig);
  pConfig->roomUsers = pConfig->MaxUsers;
  SetBeforeWait(pConfig->loop, BeforeWait, pConfig);
  AddTimer(pConfig->loop, kFlushEveryMs, OnFlushTimer, pConfig);
  RunEventLoop(pConfig->loop);
}

void AnnounceClosing(Server *pConfig) {
  for (Request *r = pConfig->requests; r; r = r->next) {
    // A TLS handshake still due cannot carry the line, and a reply half
    // sent would be spoilt by it; a balancer still owes its header.
    if (r->cmnd.io.fd < 0 || r->cmnd.tls == kTlsAfterReply || r->cmnd.state == kCmndQueued ||
        r->cmnd.state == kCmndProxyHeader)
      continue;
    struct iovec part = {const_cast<char *>(kClosing), sizeof kClosing - 1};
    ConnWrite(&r->cmnd.io, &part, 1);
  }
}

void CloseAllRequests(Server *pConfig) {
  Request *r = pConfig->requests;
  while (r) r = CloseRequest(r);
  if (!pConfig->loop) return;
  // Jobs handed back as the worker stops may hand on more work (a quota
  // record's next write): with no worker left it is done in place.
  Worker *worker = pConfig->worker;
  pConfig->worker = nullptr;
  StopWorker(worker);
  UnwatchFd(pConfig->loop, pConfig->listenSocket);
  if (pConfig->implicitSocket != -1) UnwatchFd(pConfig->loop, pConfig->implicitSocket);
  FreeAddressTable(&pConfig->limits);
  DeleteEventLoop(pConfig->loop);
  pConfig->loop = nullptr;
}
