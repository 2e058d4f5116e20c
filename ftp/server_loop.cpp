#include "server_loop.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/time.h>

#include "command_channel.h"
#include "dispatcher.h"
#include "event_loop.h"
#include "security_commands.h"
#include "session_io.h"
#include "sessions.h"
#include "sockets.h"
#include "throttle.h"
#include "tls.h"
#include "transfers.h"
#include "address_limits.h"
#include "deadlines.h"
#include "upload_files.h"

static const char kNoWinsock[] = "Error initializing Winsock 1.1.\n";
static const char kNoSocket[] = "Creating socket failed.\n";
static const char kNoAddress[] = "Could not detect IP address.\n";
static const char kNoBind[] = "Associate local address with socket failed.\n";
static const char kNoListen[] = "Putting socket into listening mode failed.\n";
static const char kRefused[] = "Connection refused (out of memory?).\n";
static const char kServerException[] = "Exception condition on server socket.\n";
static const char kParseFailed[] = "Could not parse FTP string.\n";

// Refused commands a session may send before it has logged in.
static const int kRefusalsBeforeLogin = 10;

// Passes between two idle checks when nothing else triggers one.
static const int kIdleCheckPasses = 500;

static volatile sig_atomic_t stopRequested = 0;

void StopServer() { stopRequested = 1; }

int InitNet(Server *pConfig) {
  if (StartWinsock() != 0) {
    fputs(kNoWinsock, stderr);
    return -1;
  }
  if (strcmp(pConfig->Address, "AUTO") == 0) {
    int count = 1;
    if (FindHostAddresses(&pConfig->Address, &count) != 0) {
      fputs(kNoAddress, stderr);
      return -1;
    }
  }
  // An address inet_aton cannot read fails at the bind step: the server
  // never falls back to listening on every interface.
  int stage = 0;
  pConfig->listenSocket = ListenTcp(pConfig->Address, pConfig->Port,
                                    pConfig->backlog, &stage);
  if (pConfig->listenSocket < 0) {
    // The operator needs the system's reason too: a port in use, a
    // privileged port, an address that is not this machine's.
    int err = errno;
    fputs(stage == 1 ? kNoSocket : stage == 2 ? kNoBind : kNoListen, stderr);
    fprintf(stderr, "%s\n", strerror(err));
    return -1;
  }
  if (strcmp(pConfig->ExternIP, "AUTO") == 0)
    snprintf(pConfig->ExternIP, sizeof pConfig->ExternIP, "%s", pConfig->Address);
  return 0;
}

void CloseServer(Server *pConfig) {
  CloseConnection(pConfig->listenSocket);
  pConfig->listenSocket = -1;
  DelAllRequests(&pConfig->requests);
  TlsFreeContext(pConfig->tlsContext);
  pConfig->tlsContext = nullptr;
}

static void Add(int fd, fd_set *set, int *highest) {
  if (!FdFits(fd)) return;
  FD_SET(fd, set);
  if (fd > *highest) *highest = fd;
}

static bool IsSet(int fd, fd_set *set) { return FdFits(fd) && FD_ISSET(fd, set); }

static void AddFor(int fd, int mask, fd_set *readSet, fd_set *writeSet,
                   int *highest) {
  Add(fd, mask == kLoopWritable ? writeSet : readSet, highest);
}

static bool Ready(int fd, fd_set *readSet, fd_set *writeSet) {
  return fd != -1 && (IsSet(fd, readSet) || IsSet(fd, writeSet));
}

// Decrypted bytes that a receive is due for: the socket will not announce
// them, so they count as ready and the wait must not last.
static bool CmndBytesDue(Request *pReq) {
  return IfCmndSend(pReq) != 0 && IfCmndRecv(pReq) == 0 && CmndBytesWait(pReq);
}

static bool XferBytesDue(Request *pReq) {
  return !DataWaits(pReq) && IfDataRecv(pReq) == 0 && XferBytesWait(pReq);
}

static bool AnyBytesDue(Server *pConfig) {
  for (Request *r = GetFirstRequest(pConfig->requests); r; r = GetNextRequest(r))
    if (CmndBytesDue(r) || XferBytesDue(r)) return true;
  return false;
}

int setfds(fd_set *readSet, fd_set *writeSet, fd_set *exceptSet,
           Server *pConfig) {
  FD_ZERO(readSet);
  FD_ZERO(writeSet);
  FD_ZERO(exceptSet);
  int highest = 0;
  if (pConfig->listenSocket != -1) {
    // While the server is full, waiting connections stay in the listen
    // queue; watching the socket then would only make select return at
    // once, pass after pass.
    if (pConfig->users < pConfig->MaxUsers && pConfig->acceptRest != '1')
      Add(pConfig->listenSocket, readSet, &highest);
    pConfig->acceptRest = '0';
    Add(pConfig->listenSocket, exceptSet, &highest);
  }
  for (Request *r = GetFirstRequest(pConfig->requests); r; r = GetNextRequest(r)) {
    // A held-back reply: nothing is read or written until it is due.
    if (ReplyHeld(r)) continue;
    // A TLS connection may have to wait for the other readiness than its
    // transfer's own (a handshake message to read while sending).
    if (DataWaits(r))
      ;  // nothing to move this pass: a ready socket would only spin
    else if (IfDataSend(r) == 0)
      AddFor(r->xferSocket, XferWatch(r, kLoopWritable), readSet, writeSet, &highest);
    else if (IfDataRecv(r) == 0)
      AddFor(r->xferSocket, XferWatch(r, kLoopReadable), readSet, writeSet, &highest);
    if (IfCmndSend(r) == 0)
      AddFor(r->cmndSocket, CmndWatch(r, kLoopWritable), readSet, writeSet, &highest);
    else if (IfCmndRecv(r) == 0)
      AddFor(r->cmndSocket, CmndWatch(r, kLoopReadable), readSet, writeSet, &highest);
    if (IfAcceptXfer(r) == 0)
      Add(r->DataSocket, r->passiveMode == '1' ? readSet : writeSet, &highest);
  }
  return highest;
}

// No connection could be taken for want of descriptors or memory. The
// waiting client stays in the listen queue, so the listener sits out the
// next pass instead of being tried again at once (the loop would spin),
// and the message is printed at most once a second.
static void OnAcceptFailed(Server *pConfig) {
  pConfig->acceptRest = '1';
  time_t now = time(nullptr);
  if (now == pConfig->refusedPrinted) return;
  pConfig->refusedPrinted = now;
  fputs(kRefused, stderr);
}

Request *OnAccept(Server *pConfig) {
  char peer[kAddressSize] = "";
  errno = 0;
  int sock = AcceptClient(pConfig->listenSocket, peer, nullptr);
  if (sock < 0) {
    // A client that left before it was taken is no shortage.
    if (!WouldBlock(errno) && errno != ECONNABORTED) OnAcceptFailed(pConfig);
    return nullptr;
  }
  if (RefusedAtAccept(pConfig, sock, peer, time(nullptr))) return nullptr;
  // A transfer's final reply follows its 150 with no word from the client
  // in between; with Nagle's delay it would wait for the client's delayed
  // acknowledgement (some 40 ms a transfer).
  SetNoDelay(sock);
  SetOobInline(sock);
  Request *pReq = AddRequest(sock, pConfig, peer);
  if (!pReq) {
    CloseConnection(sock);  // no session owns it
    OnAcceptFailed(pConfig);
    return nullptr;
  }
  pReq->lastActive = pReq->connectTime;  // the idle clock starts at connect
  SendFTPstring(pReq, Mess220);
  return pReq;
}

void CheckIdle(Server *pConfig) {
  if (pConfig->TimeoutTime <= 0) return;
  time_t now = time(nullptr);
  Request *r = GetFirstRequest(pConfig->requests);
  while (r) {
    // Until login completes no account speaks for the session: a client
    // that connects and stays silent must not hold its slot for ever.
    bool loggedIn = r->permissions[kUSER] == '0' && r->permissions[kPASS] == '0';
    if (loggedIn && r->closeIfIdle == '0') {
      r = GetNextRequest(r);
      continue;
    }
    uint64_t total = r->bytesSent + r->bytesReceived;
    if (total == r->idleMark && now - r->lastActive > pConfig->TimeoutTime) {
      r = CloseRequest(r);
      continue;
    }
    if (total != r->idleMark) r->lastActive = now;
    r->idleMark = total;
    r = GetNextRequest(r);
  }
}

// A transfer pump reported its end: exactly one final reply (the pump's
// own, or the completion line), then the data side is torn down.
static void EndTransfer(Request *pReq) {
  const char *completion = pReq->dataState == kDataIdle ? Mess226 : Mess451;
  // An upload that ended well takes its name now; one that failed is
  // dropped by CloseDataFile below.
  if (pReq->dataState == kDataIdle && FinishUpload(pReq) != 0) completion = Mess451;
  SendFinalReply(pReq, completion);
  CloseDataConnection(pReq);
  CloseDataBuffer(pReq);
  CloseDataFile(pReq);
}

// Ends a session after one attempt to send its queued reply, so that a
// well-behaved client learns why. Returns the session that followed.
static Request *EndSession(Request *pReq) {
  OnWriteCmnd(pReq);
  return CloseRequest(pReq);
}

// Counts a command refused before login; true when the session has had
// its share of them. A client that is not logging in has no business
// sending command after command.
static bool RefusedBeforeLogin(Request *pReq, int result) {
  bool loggedIn = pReq->permissions[kUSER] == '0' && pReq->permissions[kPASS] == '0';
  if (loggedIn || result < 400) return false;
  return ++pReq->refusedBeforeLogin >= kRefusalsBeforeLogin;
}

// A line (or part of one) has arrived. Returns the session to go on with.
static Request *OnCommandBytes(Request *pReq) {
  if (ParseFTPstring(pReq) != 0) {
    // Only a line that ended (or can never end) and was refused counts; a
    // line still arriving is no fault.
    if (pReq->cmndState != kCmndQueued) return GetNextRequest(pReq);
    fputs(kParseFailed, stderr);
    // A refused line is a command too: a restart offset does not survive it.
    pReq->restOffset = 0;
    return RefusedBeforeLogin(pReq, 500) ? EndSession(pReq) : GetNextRequest(pReq);
  }
  int result = DoFTP(pReq);
  pReq->lastCommand = TranslateCommand(pReq->command);
  // A USER refused for want of TLS is no failed login: the client may
  // still ask for TLS and log in.
  if (result == 530 && !TlsRequiredFirst(pReq)) {
    // A failed login: its reply comes a second later (CheckDeadlines).
    HoldFailedLogin(pReq);
    return GetNextRequest(pReq);
  }
  if (RefusedBeforeLogin(pReq, result)) return EndSession(pReq);
  if (result == 221 || result == 332) {
    // One attempt to send the parting reply, so a well-behaved client
    // learns why the connection ends.
    OnWriteCmnd(pReq);
    return CloseRequest(pReq);
  }
  return GetNextRequest(pReq);
}

// The one event a session gets in this pass. Returns the session to go on
// with (its successor, also when it was closed).
static Request *OnSessionEvent(Request *pReq, fd_set *readSet, fd_set *writeSet) {
  // Each socket is in at most one set; what it is used for follows the
  // session's state, not the set (TLS may have asked for the other one).
  bool cmndReady = Ready(pReq->cmndSocket, readSet, writeSet) || CmndBytesDue(pReq);
  if (cmndReady && IfCmndSend(pReq) != 0) {
    if (OnReadCmnd(pReq) != 0) return CloseRequest(pReq);
    return OnCommandBytes(pReq);
  }
  if (cmndReady) {
    if (OnWriteCmnd(pReq) != 0) return CloseRequest(pReq);
    SendPendingReply(pReq);
    // The reply is out: a command the client sent along with the last one
    // runs now, as no receive will announce it.
    if (CommandLineWaits(pReq)) return OnCommandBytes(pReq);
    return GetNextRequest(pReq);
  }
  if (pReq->DataSocket != -1 &&
      (IsSet(pReq->DataSocket, readSet) || IsSet(pReq->DataSocket, writeSet))) {
    OnAcceptXfer(pReq);
    return GetNextRequest(pReq);
  }
  if (pReq->xferSocket != -1 &&
      (Ready(pReq->xferSocket, readSet, writeSet) || XferBytesDue(pReq))) {
    int result = 0;
    if (IfDataSend(pReq) == 0)
      result = OnWriteData(pReq);
    else if (IfDataRecv(pReq) == 0)
      result = OnReadData(pReq);
    if (result == -1) EndTransfer(pReq);
  }
  return GetNextRequest(pReq);
}

void RunServer(Server *pConfig) {
  int passes = 0;
  fd_set readSet, writeSet, exceptSet;
  while (pConfig->MaxUsers != 0 && !stopRequested) {
    if (pConfig->users >= pConfig->MaxUsers || passes >= kIdleCheckPasses) {
      CheckIdle(pConfig);
      passes = 0;
    }
    passes++;

    int ready = 0;
    int32_t calls = 0;
    do {
      int highest = setfds(&readSet, &writeSet, &exceptSet, pConfig);
      struct timeval timeout = {1, 0};
      ThrottleTimeout(pConfig, &timeout);
      DeadlineTimeout(pConfig, &timeout);
      if (AnyBytesDue(pConfig)) timeout = {0, 0};
      ready = select(highest + 1, &readSet, &writeSet, &exceptSet, &timeout);
      calls++;
      // On time whether or not anything else happens; the sessions it ends
      // are gone from the list before the ready sets are looked at.
      CheckDeadlines(pConfig);
    } while (ready == 0 && calls < pConfig->TimeoutTime && !stopRequested);
    if (ready == 0) {
      CheckIdle(pConfig);
      continue;
    }
    if (ready < 0) continue;

    int listener = pConfig->listenSocket;
    if (IsSet(listener, &readSet) && pConfig->users < pConfig->MaxUsers)
      OnAccept(pConfig);
    if (IsSet(listener, &exceptSet)) fputs(kServerException, stderr);

    Request *r = GetFirstRequest(pConfig->requests);
    while (r) r = OnSessionEvent(r, &readSet, &writeSet);
  }
}

void CloseAllRequests(Server *pConfig) {
  Request *r = GetFirstRequest(pConfig->requests);
  while (r) r = CloseRequest(r);
}
