#include "request_io.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/uio.h>
#include <unistd.h>

#include "client_limits.h"
#include "conn_io.h"
#include "connections.h"
#include "combined_log.h"
#include "http_server.h"
#include "listing_page.h"
#include "request_parser.h"
#include "response.h"
#include "sockets.h"
#include "string_helpers.h"

namespace {

// One writable event sends at most this much file data, or this many
// pieces (header, body text, file pieces, listing rows), before the next
// connection gets its turn: a large download cannot hold up the others,
// yet it does not pay a pass of the loop for every 2048 bytes.
const size_t kBytesPerEvent = 256 * 1024;
const int kStepsPerEvent = 64;

// A connection serves at most this many requests; the last answer says
// "close". Bounds what one client can hold a place for.
const uint32_t kRequestsPerConnection = 1000;

// Result of one send step. kEnd: the answer is complete; kFail: it cannot
// be completed, and the stream is in doubt.
enum Step { kFail = -2, kEnd = -1, kWait = 0, kGoOn = 1 };

// Takes n sent bytes off the front of what was pending in buf.
void Consume(Connection *c, char *buf, int32_t *pending, size_t n) {
  c->bytesSent += (uint64_t)n;
  *pending -= (int32_t)n;
  if (*pending > 0) memmove(buf, buf + n, (size_t)*pending);
}

// Sends what is pending in header and then body, in one call; the unsent
// rest moves to the front of its buffer. kGoOn when everything
// went out. `more`: another piece follows in this event.
Step SendPending(Connection *c, bool more = false) {
  struct iovec parts[2];
  int count = 0;
  if (c->headerLength > 0)
    parts[count++] = {c->header, (size_t)c->headerLength};
  if (c->bodyLength > 0) parts[count++] = {c->body, (size_t)c->bodyLength};
  if (count == 0) return kGoOn;
  ssize_t n = ConnWrite(&c->io, parts, count, more);
  if (n == kConnWait) return kWait;
  if (n < 0) return kFail;
  size_t fromHeader = (size_t)n;
  if (fromHeader > (size_t)c->headerLength) fromHeader = (size_t)c->headerLength;
  if (fromHeader > 0) Consume(c, c->header, &c->headerLength, fromHeader);
  if ((size_t)n > fromHeader)
    Consume(c, c->body, &c->bodyLength, (size_t)n - fromHeader);
  return c->headerLength == 0 && c->bodyLength == 0 ? kGoOn : kWait;
}

// Bytes of the file still to send, at most `cap`; 0 when it is done.
size_t FileWant(const Connection *c, size_t cap) {
  if (c->fileLeft < 0) return cap;  // a custom page: to its end
  return (int64_t)cap > c->fileLeft ? (size_t)c->fileLeft : cap;
}

void CountFileBytes(Connection *c, size_t n) {
  if (c->fileLeft > 0) c->fileLeft -= (int64_t)n;
  if (c->status == 206) c->rangeSent += (int64_t)n;
}

// Next piece of the open file into buffer; -1 when the file is done.
int ReadFilePiece(Connection *c) {
  size_t want = FileWant(c, sizeof c->buffer);
  if (want == 0) return -1;
  ssize_t n;
  do {
    n = c->fileLent == '1'
            ? pread(c->file, c->buffer, want, (off_t)c->fileOffset)
            : read(c->file, c->buffer, want);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return -1;
  c->fileOffset += n;
  c->body = c->buffer;
  c->bodyLength = (int32_t)n;
  CountFileBytes(c, (size_t)n);
  return 0;
}

// File data straight from the file to the socket, never through memory
// of ours; the file position moves by what the socket took.
Step SendFileData(Connection *c, size_t *budget) {
  size_t want = FileWant(c, *budget);
  if (want == 0) return kEnd;
  // A lent file fits the first piece whole; more to send means it shrank
  // since it was looked at, and the body falls short of its length.
  if (c->fileLent == '1') return kFail;
  ssize_t n = ConnSendFile(&c->io, c->file, want);
  if (n == kConnWait) return kWait;
  if (n < 0) return kFail;
  if (n == 0) {
    // The file ended early: the body is short of what was announced,
    // unless its length was never announced (a custom error page).
    return c->fileLeft < 0 ? kEnd : kFail;
  }
  c->bytesSent += (uint64_t)n;
  CountFileBytes(c, (size_t)n);
  *budget -= (size_t)n < *budget ? (size_t)n : *budget;
  if (c->fileLeft == 0) return kEnd;  // all announced bytes are out
  return (size_t)n == want ? kGoOn : kWait;
}

// One step of the response: the header and body text, then the file or
// the next rows of a listing.
Step SendStep(Connection *c, size_t *budget, bool last) {
  if (c->headerLength > 0 && c->bodyLength == 0 && c->file >= 0)
    // The first piece of the file rides with the header; a small file
    // then leaves in one call and one segment. When the read finds
    // nothing, the next step finds out again and ends the response.
    ReadFilePiece(c);
  if (c->headerLength > 0 && c->bytesSent == 0 && c->directory)
    // So do the first rows of a listing, behind the page's head.
    NextListingRow(c);
  if (c->headerLength > 0 || c->bodyLength > 0) return SendPending(c);
  if (c->file >= 0) {
    if (c->status == 206 && c->rangeSent == c->rangeEnd - c->rangeStart)
      return kEnd;
    return SendFileData(c, budget);
  }
  if (c->entries) {
    if (NextListingRow(c) != 0) return kEnd;
    // A piece that does not end the page is sent with the hint that more
    // follows, so the network stack fills whole segments across pieces;
    // the last step of the event sends without it, and the close pushes
    // the page's end.
    return SendPending(c, !last);
  }
  return kEnd;
}

}  // namespace

namespace {

// The value of the request's Connection field, lower-cased, into out; ""
// when the head has none.
void ConnectionField(const Connection *c, char *out, size_t size) {
  out[0] = '\0';
  const char *at = stristr(c->buffer, "\nConnection:");
  if (!at) return;
  at += strlen("\nConnection:");
  size_t n = 0;
  for (; at[n] && at[n] != '\r' && at[n] != '\n' && n + 1 < size; n++) {
    char ch = at[n];
    out[n] = ch >= 'A' && ch <= 'Z' ? (char)(ch + 32) : ch;
  }
  out[n] = '\0';
}

// Whether the request asks to keep the connection: HTTP/1.1 unless it says
// "close", HTTP/1.0 only when it says "keep-alive".
bool AsksToStay(const Connection *c) {
  const char *lineEnd = c->buffer + strcspn(c->buffer, "\r\n");
  if (*lineEnd == '\0') return false;
  const char *version = lineEnd;
  while (version > c->buffer && version[-1] != ' ') version--;
  size_t length = (size_t)(lineEnd - version);
  bool http11 = length == 8 && strncmp(version, "HTTP/1.1", 8) == 0;
  bool http10 = length == 8 && strncmp(version, "HTTP/1.0", 8) == 0;
  if (!http11 && !http10) return false;
  char field[64];
  ConnectionField(c, field, sizeof field);
  if (strstr(field, "close")) return false;
  return http11 || strstr(field, "keep-alive") != nullptr;
}

bool HeadComplete(const Connection *c) {
  return ::HeadComplete(c->buffer, (size_t)c->bodyLength);
}

// The head is complete: what follows it is kept for the next request, the
// request is parsed and the answer begins.
int StartResponse(Connection *c) {
  c->state = '1';
  c->pipelinedLength = 0;
  int32_t head = (int32_t)HeadLength(c->buffer, (size_t)c->bodyLength);
  bool stays = false;
  if (head > 0) {
    int32_t ahead = c->bodyLength - head;
    // Only this head speaks for this answer: a "Connection: close" of the
    // request sent after it is that request's own.
    char first = c->buffer[head];
    c->buffer[head] = '\0';
    stays = c->server->keepAliveTimeout > 0 && AsksToStay(c) &&
            c->requests + 1 < kRequestsPerConnection;
    c->buffer[head] = first;
    if (ahead > 0 && stays && !c->pipelined)
      c->pipelined = (char *)malloc(kBufferSize);
    if (ahead > 0 && stays && c->pipelined) {
      memcpy(c->pipelined, c->buffer + head, (size_t)ahead);
      c->pipelinedLength = ahead;
    } else if (ahead > 0) {
      // Nowhere to keep what was sent ahead: this answer is the last.
      stays = false;
    }
    // The fields of the next request must not count for this one.
    if (ahead > 0) memset(c->buffer + head, 0, (size_t)ahead);
    c->bodyLength = head;
  }
  // A head that filled the buffer without its end leaves no telling where
  // the next request would begin.
  c->keepAlive = stays ? '1' : '0';
  if (c->server->logFormat == 'c') KeepCombinedFields(c);
  ParseRequest(c);
  // A request line that could not be read, or a body the server does not
  // read, leaves the stream in doubt: the answer is the last.
  if (c->status == 400 || c->contentLength > 0 ||
      stristr(c->buffer, "\nTransfer-Encoding:"))
    c->keepAlive = '0';
  BuildHeader(c);
  if (strcmp(c->method, "HEAD") == 0) {
    CloseFiles(c);
    c->bodyLength = 0;
  }
  // Wrong credentials: the 401 is held back for its time, the connection
  // waiting in state '2' with its socket unwatched until its timer fires.
  if (c->status == 401 && c->failedLogin == '1') {
    c->state = '2';
    c->replyAt = HoldRefusal(&c->server->limits, c->clientAddress);
    return 0;
  }
  // A client that has just sent its request can nearly always take the
  // answer: starting it now spares a pass of the loop per request.
  return OnWriteResponse(c);
}

}  // namespace

int OnReadRequest(Connection *c) {
  size_t room = kBufferSize - 1 - (size_t)c->bodyLength;
  if (room > 0) {
    ssize_t n = ConnRead(&c->io, c->buffer + c->bodyLength, room);
    if (n == 0) return -1;
    if (n == kConnWait) return 0;
    if (n < 0) return -1;
    c->bodyLength += (int32_t)n;
    c->bytesReceived += (uint64_t)n;
    c->buffer[c->bodyLength] = '\0';
  }
  return HeadComplete(c) ? StartResponse(c) : 0;
}

int ServeNext(Connection *c) {
  NextRequest(c);
  return HeadComplete(c) ? StartResponse(c) : 0;
}

int OnWriteResponse(Connection *c) {
  size_t budget = kBytesPerEvent;
  for (int step = 0; step < kStepsPerEvent && budget > 0; step++) {
    Step result = SendStep(c, &budget, step == kStepsPerEvent - 1);
    if (result == kFail) c->keepAlive = '0';
    if (result != kGoOn) return result == kWait ? 0 : -1;
  }
  return 0;
}
