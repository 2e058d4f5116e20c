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
#include "resolve.h"
#include "main_loop.h"
#include "rotating_log.h"
#include "event_loop.h"
#include "sockets.h"
#include "string_helpers.h"

namespace {

const char kCloseDirFailed[] = "Could not close directory.\n";
const char kCloseSocketFailed[] = "Error closing connection.\n";
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
  FILE *out = LogBegin(log, c->startTime, date);
  if (!out) return;
  if (c->server->logFormat == 'c') {
    WriteCombinedLine(out, c);
    return;
  }
  char method[3 * sizeof c->method + 1];
  char path[3 * (32 + kFileNameSize) + 1];
  EscapeControls(method, sizeof method, c->method);
  // The path as the client named it: behind the virtual prefix it came
  // through, so that /docs/n.txt and /n.txt stay apart in the log.
  char named[32 + kFileNameSize];
  NamedPath(c, named, sizeof named);
  EscapeControls(path, sizeof path, named);
  char status[21], sent[21];
  char line[sizeof c->clientAddress + 26 + sizeof method + sizeof path + 64];
  BoundedText t = TextIn(line, sizeof line);
  PutFilled(&t, kAccessLine, c->clientAddress, date, method, path,
            SignedText(status, c->status), UnsignedText(sent, c->bytesSent));
  // Sized for the longest line, so it is never cut; one write keeps it whole.
  fwrite(line, 1, t.length, out);
}

}  // namespace

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
  snprintf(c->clientAddress, sizeof c->clientAddress, "%s", peer);
  ConnOpen(&c->io, socket);
  c->next = nullptr;
  ResetConnection(c);
  return c;
}

void ResetConnection(Connection *c) {
  c->passwordOffset = c->bodyLength = c->headerLength = c->realmIndex = 0;
  memset(c->buffer, 0, sizeof c->buffer);
  c->body = c->buffer;
  // Header and path are always written whole, with their ends, before
  // they are read.
  c->header[0] = '\0';
  c->fileName[0] = '\0';
  memset(c->method, 0, sizeof c->method);
  memset(c->credentials, 0, sizeof c->credentials);
  memset(c->extension, 0, sizeof c->extension);
  c->state = '0';
  c->status = 500;
  c->urlPath = c->fileName;
  c->root = c->server->webRoot;
  c->rootFd = -1;
  c->bytesSent = c->bytesReceived = c->idleMark = 0;
  c->contentLength = 0;
  c->size = 0;
  c->startTime = c->lastActive = c->modified = time(nullptr);
  c->file = -1;
  c->fileLent = '0';
  c->fileOffset = 0;
  c->rangeStart = c->rangeEnd = c->rangeSent = 0;
  c->rangeStartGiven = c->rangeEndGiven = 0;
  c->directory = nullptr;
  c->fileLeft = 0;
  c->virtualItem = nullptr;
  c->hostMode = '0';
  c->prefixBare = '0';
  c->message = nullptr;
  c->location[0] = '\0';
  c->etag[0] = '\0';
  c->fileSize = -1;
  c->entries = nullptr;
  c->keepAlive = '0';
  c->progressAt = 0;
  c->requestLine[0] = c->referer[0] = c->agent[0] = '\0';
  c->replyAt = 0;
  c->failedLogin = '0';
  // The head's time is measured from the accept, whatever arrives
  // meanwhile: a client sending a byte now and then must not keep its place
  // for ever.
  int timeout = c->server->timeout;
  c->headDeadline = timeout > 0 ? NowMs() + (int64_t)timeout * 1000 : 0;
}

void DelConnection(Connection **head, Connection *c) {
  free(c->pipelined);
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
  if (c->directory) {
    if (closedir(c->directory) != 0) fputs(kCloseDirFailed, stderr);
    c->directory = nullptr;
  }
  ReleaseFile(c);
  FreeListingEntries(c);
}

bool WaitingForNextRequest(const Connection *c) {
  return c->requests > 0 && c->state == '0' && c->bodyLength == 0;
}

void NextRequest(Connection *c) {
  CloseFiles(c);
  WriteAccessLine(c);
  c->requests++;
  int32_t carried = c->pipelined ? c->pipelinedLength : 0;
  ResetConnection(c);
  if (carried > 0) memcpy(c->buffer, c->pipelined, (size_t)carried);
  c->bodyLength = carried;
  c->buffer[carried] = '\0';
  c->pipelinedLength = 0;
}

Connection *EndConnection(Connection *c) {
  HttpServer *server = c->server;
  CloseFiles(c);
  // A persistent connection that ends while waiting for its next request
  // has no request to account for; its answers are logged already.
  if (!WaitingForNextRequest(c)) WriteAccessLine(c);
  if (server->loop) {
    if (c->timer > 0) DeleteTimer(server->loop, c->timer);
    UnwatchFd(server->loop, c->io.fd);
  }
  if (ConnClose(&c->io) != 0) fputs(kCloseSocketFailed, stderr);
  UncountClient(&server->limits, c->clientAddress);
  server->clients--;
  Connection *next = c->next;
  DelConnection(&server->connections, c);
  // A place is free again: the listening socket is watched once more
  // unless the process is out of descriptors.
  if (server->loop && !server->limits.resting)
    WatchListeners(server, kLoopReadable);
  return next;
}
