#include "request_io.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/uio.h>
#include <unistd.h>

#include "client_limits.h"
#include "conn_io.h"
#include "forbidden_names.h"
#include "passwords.h"
#include "connections.h"
#include "http_server.h"
#include "kept_files.h"
#include "listing_page.h"
#include "request_parser.h"
#include "resolve.h"
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
  c->output.bytesSent += (uint64_t)n;
  *pending -= (int32_t)n;
  if (*pending > 0) memmove(buf, buf + n, (size_t)*pending);
}

// Sends what is pending in header and then body, in one call; the unsent
// rest moves to the front of its buffer. kGoOn when everything
// went out. `more`: another piece follows in this event.
Step SendPending(Connection *c, bool more = false) {
  struct iovec parts[2];
  int count = 0;
  if (c->output.headerLength > 0)
    parts[count++] = {c->space->header, (size_t)c->output.headerLength};
  if (c->output.bodyLength > 0) parts[count++] = {c->output.body, (size_t)c->output.bodyLength};
  if (count == 0) return kGoOn;
  ssize_t n = ConnWrite(&c->io, parts, count, more);
  if (n == kConnWait) return kWait;
  if (n < 0) return kFail;
  size_t fromHeader = (size_t)n;
  if (fromHeader > (size_t)c->output.headerLength) fromHeader = (size_t)c->output.headerLength;
  if (fromHeader > 0) Consume(c, c->space->header, &c->output.headerLength, fromHeader);
  if ((size_t)n > fromHeader)
    Consume(c, c->output.body, &c->output.bodyLength, (size_t)n - fromHeader);
  return c->output.headerLength == 0 && c->output.bodyLength == 0 ? kGoOn : kWait;
}

// Bytes of the file still to send, at most `cap`; 0 when it is done.
size_t FileWant(const Connection *c, size_t cap) {
  if (c->output.fileLeft < 0) return cap;  // a custom page: to its end
  return (int64_t)cap > c->output.fileLeft ? (size_t)c->output.fileLeft : cap;
}

void CountFileBytes(Connection *c, size_t n) {
  if (c->output.fileLeft > 0) c->output.fileLeft -= (int64_t)n;
  if (c->decision.status == 206) c->output.rangeSent += (int64_t)n;
}

// Next piece of the open file into buffer; -1 when the file is done.
int ReadFilePiece(Connection *c) {
  size_t want = FileWant(c, sizeof c->space->buffer);
  if (want == 0) return -1;
  ssize_t n;
  do {
    n = c->decision.fileLent == '1'
            ? ReadLentFile(c, c->space->buffer, want, (off_t)c->output.fileOffset)
            : read(c->decision.file, c->space->buffer, want);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return -1;
  c->output.fileOffset += n;
  c->output.body = c->space->buffer;
  c->output.bodyLength = (int32_t)n;
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
  if (c->decision.fileLent == '1') return kFail;
  ssize_t n = ConnSendFile(&c->io, c->decision.file, want);
  if (n == kConnWait) return kWait;
  if (n < 0) return kFail;
  if (n == 0) {
    // The file ended early: the body is short of what was announced,
    // unless its length was never announced (a custom error page).
    return c->output.fileLeft < 0 ? kEnd : kFail;
  }
  c->output.bytesSent += (uint64_t)n;
  CountFileBytes(c, (size_t)n);
  *budget -= (size_t)n < *budget ? (size_t)n : *budget;
  if (c->output.fileLeft == 0) return kEnd;  // all announced bytes are out
  return (size_t)n == want ? kGoOn : kWait;
}

// A listing to an HTTP/1.1 client goes in chunks, so the connection
// outlives it: each piece just written is framed with its size before it
// (behind any header still pending) and its line end after it, and the
// piece that ends the page carries the last, empty chunk too.
void FrameChunk(Connection *c) {
  Output &o = c->output;
  if (c->decision.chunked != '1' || o.bodyLength <= 0) return;
  char *header = c->space->header;
  int n = snprintf(header + o.headerLength, sizeof c->space->header - (size_t)o.headerLength,
                   "%x\r\n", (unsigned)o.bodyLength);
  if (n > 0) o.headerLength += n;
  const char *end = c->decision.directory ? "\r\n" : "\r\n0\r\n\r\n";
  size_t length = strlen(end);
  memcpy(o.body + o.bodyLength, end, length);
  o.bodyLength += (int32_t)length;
}

// The pending text ends the answer and the connection closes right after
// it: held back for that close, the end of our data rides in the answer's
// last segment instead of a segment of its own.
bool ClosesAfterPending(const Connection *c) {
  return c->output.keepAlive != '1' && !c->decision.entries && !c->decision.directory &&
         (c->decision.file < 0 || c->output.fileLeft == 0);
}

// One step of the response: the header and body text, then the file or
// the next rows of a listing.
Step SendStep(Connection *c, size_t *budget, bool last) {
  if (c->output.headerLength > 0 && c->output.bodyLength == 0 && c->decision.file >= 0)
    // The first piece of the file rides with the header; a small file
    // then leaves in one call and one segment. When the read finds
    // nothing, the next step finds out again and ends the response.
    ReadFilePiece(c);
  if (c->output.headerLength > 0 && c->output.bytesSent == 0 && c->decision.directory)
    // So do the first rows of a listing, behind the page's head.
    if (NextListingRow(c) == 0) FrameChunk(c);
  if (c->output.headerLength > 0 || c->output.bodyLength > 0)
    return SendPending(c, ClosesAfterPending(c));
  if (c->decision.file >= 0) {
    if (c->decision.status == 206 && c->output.rangeSent == c->decision.rangeEnd - c->decision.rangeStart)
      return kEnd;
    return SendFileData(c, budget);
  }
  if (c->decision.entries) {
    if (NextListingRow(c) != 0) return kEnd;
    FrameChunk(c);
    // A piece that does not end the page is sent with the hint that more
    // follows, so the network stack fills whole segments across pieces;
    // the last step of the event sends without it, and the close pushes
    // the page's end.
    return SendPending(c, !last);
  }
  return kEnd;
}

// Resolves and renders the parsed request; the answer begins.
int Answer(Connection *c) {
  ParsedRequest &r = c->request;
  ResolveRequest(c, r.staysOpen);
  BuildHeader(c);
  if (r.methodKind == Method::kHead) {
    CloseFiles(c);
    c->output.bodyLength = 0;
  }
  // Wrong credentials: the 401 is held back for its time, the connection
  // holding it with its socket unwatched until its timer fires.
  if (c->output.status == 401 && c->decision.failedLogin == '1') {
    c->state = ConnState::kHolding;
    c->deadlines.replyAt = HoldRefusal(&c->server->limits, c->clientAddress,
                                       GuessOf(r.credentials, r.credentials + r.passwordOffset));
    return 0;
  }
  // A client that has just sent its request can nearly always take the
  // answer: starting it now spares a pass of the loop per request.
  return OnWriteResponse(c);
}

// The head is complete: parse, resolve and render in turn, then the
// answer begins. What follows the head is kept for the next request.
int StartResponse(Connection *c) {
  c->state = ConnState::kResponding;
  ParsedRequest &r = c->request;
  r.headLength = (int32_t)HeadLength(c->space->head, (size_t)r.received);
  bool stays = false;
  if (r.headLength > 0) {
    int32_t ahead = r.received - r.headLength;
    // Only this head speaks for this answer: the fields of a request sent
    // after it are that request's own. The first byte of that request
    // waits in aheadFirst while the head is NUL-ended in its place.
    r.aheadFirst = c->space->head[r.headLength];
    c->space->head[r.headLength] = '\0';
    r.received = r.headLength;
    r.ahead = ahead;
  }
  ParseRequest(&r, c->space->head, c->server->hosts != nullptr);
  // A head that filled the buffer without its end leaves no telling where
  // the next request would begin.
  if (r.headLength > 0)
    stays = c->server->keepAliveTimeout > 0 &&
            (r.http11 || r.http10) && !r.asksClose &&
            (r.http11 || r.asksKeepAlive) &&
            c->requests + 1 < kRequestsPerConnection;
  r.staysOpen = stays;
  // A password kept as a hash is judged before the resolution that needs
  // it: off the loop when the server has a worker.
  if (r.status == 0 && r.passwordOffset != 0) {
    r.storedHash = StoredHashOf(c);
    if (r.storedHash && c->server->worker) {
      c->state = ConnState::kChecking;
      return 0;
    }
    if (r.storedHash)
      r.passwordMatch = PasswordMatches(r.credentials + r.passwordOffset, r.storedHash);
  }
  return Answer(c);
}

}  // namespace

int ContinueResponse(Connection *c, bool match) {
  c->state = ConnState::kResponding;
  c->request.passwordMatch = match;
  return Answer(c);
}

int OnReadRequest(Connection *c) {
  ParsedRequest &r = c->request;
  if (LendSpace(c) != 0) return -1;
  char *head = c->space->head;
  size_t room = kHeadSize - (size_t)r.received;
  if (room > 0) {
    ssize_t n = ConnRead(&c->io, head + r.received, room);
    if (n == 0) return -1;
    if (n == kConnWait) {
      // Nothing came (a TLS record not yet whole, a handshake message): an
      // idle connection holds no space while it waits.
      if (r.received == 0) ReturnSpace(c);
      return 0;
    }
    if (n < 0) return -1;
    r.bytesReceived += (uint64_t)n;
    if (c->bodyLeft > 0) {
      // The rest of a body sent with the last GET or HEAD, ahead of the
      // next head (nothing of which has come yet).
      ssize_t drop = c->bodyLeft < n ? (ssize_t)c->bodyLeft : n;
      c->bodyLeft -= drop;
      n -= drop;
      if (n == 0) {
        ReturnSpace(c);
        return 0;
      }
      memmove(head, head + drop, (size_t)n);
    }
    r.received += (int32_t)n;
    head[r.received] = '\0';
  }
  return HeadComplete(head, (size_t)r.received) ? StartResponse(c) : 0;
}

int ServeNext(Connection *c) {
  NextRequest(c);
  // Without a space nothing of the next request is here yet.
  return c->space && HeadComplete(c->space->head, (size_t)c->request.received)
             ? StartResponse(c)
             : 0;
}

int OnWriteResponse(Connection *c) {
  size_t budget = kBytesPerEvent;
  for (int step = 0; step < kStepsPerEvent && budget > 0; step++) {
    Step result = SendStep(c, &budget, step == kStepsPerEvent - 1);
    if (result == kFail) c->output.keepAlive = '0';
    if (result != kGoOn) return result == kWait ? 0 : -1;
  }
  return 0;
}
