#include "connections.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "bounded_text.h"
#include "client_limits.h"
#include "combined_log.h"
#include "http_server.h"
#include "kept_files.h"
#include "listing_page.h"
#include "passwords.h"
#include "resolve.h"
#include "rotating_log.h"
#include "event_loop.h"
#include "sockets.h"
#include "string_helpers.h"

namespace {

// Free RequestSpace blocks kept however quiet the server is, for the next
// busy connections; beyond them the pool keeps what its busiest moment of
// the last second needed (see TrimBufferPool).
const size_t kSpacesKept = 16;

const char kCloseDirFailed[] = "Could not close directory.\n";
const char kCloseSocketFailed[] = "Error closing connection.\n";
const char kNoProxyHeader[] = "Connection from proxy %s closed: no valid PROXY header.\n";
// Status and byte count are filled in as decimal text.
const char kAccessLine[] = "%s [%s] %s %s %s %s\n";

// Method and path come from the peer: control bytes are written as %XX so
// that one connection is always exactly one line of the log.
bool IsControl(unsigned char ch) { return ch < 0x20 || ch == 0x7f; }

void EscapeControls(char *dst, size_t size, const char *src) {
  PercentEscape(dst, size, src, strlen(src), IsControl);
}

void WriteAccessLine(Connection *c) {
  Log *log = c->server->log;
  char date[26];
  FILE *out = LogBegin(log, c->request.startTime, date);
  if (!out) return;
  if (c->server->logFormat == 'c') {
    WriteCombinedLine(out, c);
    return;
  }
  char method[3 * sizeof c->request.method + 1];
  char path[3 * (32 + kFileNameSize) + 1];
  EscapeControls(method, sizeof method, c->request.method);
  // The path as the client named it: behind the virtual prefix it came
  // through, so that /docs/n.txt and /n.txt stay apart in the log.
  char named[32 + kFileNameSize];
  NamedPath(c, named, sizeof named);
  EscapeControls(path, sizeof path, named);
  char status[21], sent[21];
  char line[sizeof c->clientAddress + 26 + sizeof method + sizeof path + 64];
  BoundedText t = TextIn(line, sizeof line);
  PutFilled(&t, kAccessLine, c->clientAddress, date, method, path,
            SignedText(status, c->output.status),
            UnsignedText(sent, c->output.bytesSent));
  // Sized for the longest line, so it is never cut; one write keeps it whole.
  fwrite(line, 1, t.length, out);
}

void PointIntoSpace(Connection *c) {
  c->request.credentials = c->space->credentials;
  c->request.authority = c->space->authority;
  c->output.body = c->space->buffer;
}

}  // namespace

int LendSpace(Connection *c) {
  if (c->space) return 0;
  BufferPool *pool = &c->server->spaces;
  // The server record is made whole by its configuration, by tests and
  // by a reload alike; the pool is ready once the first space is asked for.
  if (pool->blockSize == 0) InitBufferPool(pool, sizeof(RequestSpace), kSpacesKept);
  c->space = static_cast<RequestSpace *>(BorrowBlock(pool));
  if (!c->space) return -1;
  PointIntoSpace(c);
  return 0;
}

void ReturnSpace(Connection *c) {
  if (!c->space) return;
  GiveBackBlock(&c->server->spaces, c->space);
  c->space = nullptr;
  c->request.credentials = c->request.authority = nullptr;
  c->output.body = nullptr;
}

Connection *AddConnection(int socket, HttpServer *server, const char *peer) {
  Connection *c = (Connection *)calloc(1, sizeof(Connection));
  if (!c) return nullptr;
  // Appended at the tail the server keeps: with tens of thousands of
  // clients, walking the list for each new one would cost more than
  // serving it.
  c->prev = server->lastConnection;
  if (c->prev)
    c->prev->next = c;
  else
    server->connections = c;
  server->lastConnection = c;
  c->server = server;
  c->generation = server->generation;
  snprintf(c->clientAddress, sizeof c->clientAddress, "%s", peer);
  ConnOpen(&c->io, socket);
  c->next = nullptr;
  ResetConnection(c);
  return c;
}

void ResetConnection(Connection *c) {
  // One assignment per sub-record. The head, body, header, path and
  // Location buffers stay outside them and are not cleared: each is
  // written whole, with its end, before it is read.
  // Copied from blank records made once: building each afresh cost a
  // string store over the stack and a copy per request.
  static const ParsedRequest kBlankRequest{};
  static const Decision kBlankDecision{};
  static const Output kBlankOutput{};
  c->request = kBlankRequest;
  c->request.startTime = time(nullptr);
  c->decision = kBlankDecision;
  c->output = kBlankOutput;
  if (c->space) PointIntoSpace(c);
  // The head's time is measured from the accept, whatever arrives
  // meanwhile: a client sending a byte now and then must not keep its place
  // for ever.
  int timeout = c->server->timeout;
  c->deadlines =
      Deadlines{timeout > 0 ? PassNowMs(c->server->loop) + (int64_t)timeout * 1000 : 0};
  c->state = ConnState::kReading;
}

void DelConnection(Connection **head, Connection *c) {
  if (c->prev)
    c->prev->next = c->next;
  else if (*head == c)
    *head = c->next;
  if (c->next)
    c->next->prev = c->prev;
  else if (c->server && c->server->lastConnection == c)
    c->server->lastConnection = c->prev;
  free(c);
}

void CloseFiles(Connection *c) {
  if (c->decision.directory) {
    if (closedir(c->decision.directory) != 0) fputs(kCloseDirFailed, stderr);
    c->decision.directory = nullptr;
  }
  if (c->decision.file >= 0) ConnFileDone(&c->io);
  ReleaseFile(c);
  FreeListingEntries(c);
}

bool WaitingForNextRequest(const Connection *c) {
  return c->requests > 0 && c->state == ConnState::kReading &&
         c->request.received == 0;
}

void NextRequest(Connection *c) {
  CloseFiles(c);
  WriteAccessLine(c);
  c->requests++;
  ParsedRequest &r = c->request;
  int32_t at = r.headLength, ahead = r.ahead;
  char first = r.aheadFirst;
  // A body sent with GET or HEAD is dropped: what of it came with the
  // head goes now, the rest as it arrives (OnReadRequest).
  c->bodyLeft = r.dropsBody ? r.contentLength : 0;
  int32_t dropped = c->bodyLeft < ahead ? (int32_t)c->bodyLeft : ahead;
  c->bodyLeft -= dropped;
  ResetConnection(c);
  if (ahead > dropped) {
    c->space->head[at] = first;
    memmove(c->space->head, c->space->head + at + dropped, (size_t)(ahead - dropped));
    c->request.received = ahead - dropped;
    c->space->head[c->request.received] = '\0';
  } else {
    // Nothing of the next request is here: the connection idles without
    // its buffers.
    ReturnSpace(c);
  }
}

int TakeProxyHeader(Connection *c) {
  HttpServer *s = c->server;
  ProxyHeader header;
  // The header's bytes wait where the request's will follow them.
  if (LendSpace(c) != 0) return -1;
  ProxyResult r =
      ReadProxyHeader(c->io.fd, (unsigned char *)c->space->head, &c->proxyWait, &header);
  if (r == ProxyResult::kNeedMore) {
    if (c->proxyWait.have == 0) ReturnSpace(c);  // nothing came yet
    return 0;
  }
  if (r == ProxyResult::kBad) return -1;
  c->state = ConnState::kReading;
  if (header.hasSource) {
    UncountClient(&s->limits, c->clientAddress);
    snprintf(c->clientAddress, sizeof c->clientAddress, "%s", header.source.text);
    // Over its share, the client's connection ends as it would at accept.
    if (CountClient(&s->limits, c->clientAddress) > s->limits.maxPerAddress) return -1;
  }
  if (c->secure == '1' && ConnStartTls(&c->io, s->tlsContext) != 0) return -1;
  return 1;
}

Connection *EndConnection(Connection *c) {
  HttpServer *server = c->server;
  // A balancer's connection that never named its client has no request
  // to account for; the operator hears of the balancer (unless the server
  // is stopping, which ends every such connection).
  if (c->state == ConnState::kProxyHeader) {
    if (!server->stopping) fprintf(stderr, kNoProxyHeader, c->clientAddress);
    c->state = ConnState::kReading;
  }
  CloseFiles(c);
  // A hash check still running ends unanswered: the record goes below.
  ForgetPasswordCheck(c->check);
  c->check = nullptr;
  // A connection that ends before a request byte came (a persistent one
  // between requests, a browser's preconnect, a probe) has no request to
  // account for; one that ends with a head begun timed out on it.
  if (c->state == ConnState::kReading && c->request.received > 0)
    c->output.status = 408;
  if (c->state != ConnState::kReading || c->request.received > 0) WriteAccessLine(c);
  if (server->loop) {
    if (c->timer > 0) DeleteTimer(server->loop, c->timer);
    ForgetClosingFd(server->loop, c->io.fd);
  }
  ReturnSpace(c);
  if (ConnClose(&c->io) != 0) fputs(kCloseSocketFailed, stderr);
  UncountClient(&server->limits, c->clientAddress);
  server->clients--;
  Connection *next = c->next;
  DelConnection(&server->connections, c);
  // A place is free again: the loop watches the listening sockets once
  // more before its next wait.
  return next;
}
