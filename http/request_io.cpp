#include "request_io.h"

#include <cerrno>
#include <cstring>
#include <sys/uio.h>
#include <unistd.h>

#include "client_limits.h"
#include "connections.h"
#include "combined_log.h"
#include "http_server.h"
#include "listing_page.h"
#include "request_parser.h"
#include "response.h"
#include "sockets.h"

namespace {

// One writable event sends at most this much file data, or this many
// pieces (header, body text, file pieces, listing rows), before the next
// connection gets its turn: a large download cannot hold up the others,
// yet it does not pay a pass of the loop for every 2048 bytes.
const size_t kBytesPerEvent = 256 * 1024;
const int kStepsPerEvent = 64;

// Result of one send step.
enum Step { kEnd = -1, kWait = 0, kGoOn = 1 };

// Takes n sent bytes off the front of what was pending in buf.
void Consume(Connection *c, char *buf, int32_t *pending, size_t n) {
  c->bytesSent += (uint64_t)n;
  *pending -= (int32_t)n;
  if (*pending > 0) memmove(buf, buf + n, (size_t)*pending);
}

// Sends what is pending in header and then buffer, in one call; the
// unsent rest moves to the front of its buffer. kGoOn when everything
// went out. `more`: another piece follows in this event.
Step SendPending(Connection *c, bool more = false) {
  struct iovec parts[2];
  int count = 0;
  if (c->headerLength > 0)
    parts[count++] = {c->header, (size_t)c->headerLength};
  if (c->bodyLength > 0) parts[count++] = {c->buffer, (size_t)c->bodyLength};
  if (count == 0) return kGoOn;
  ssize_t n = SendPieces(c->socket, parts, count, more);
  if (n < 0) return WouldBlock(errno) ? kWait : kEnd;
  size_t fromHeader = (size_t)n;
  if (fromHeader > (size_t)c->headerLength) fromHeader = (size_t)c->headerLength;
  if (fromHeader > 0) Consume(c, c->header, &c->headerLength, fromHeader);
  if ((size_t)n > fromHeader)
    Consume(c, c->buffer, &c->bodyLength, (size_t)n - fromHeader);
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
    n = read(c->file, c->buffer, want);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return -1;
  c->bodyLength = (int32_t)n;
  CountFileBytes(c, (size_t)n);
  return 0;
}

// File data straight from the file to the socket, never through memory
// of ours; the file position moves by what the socket took.
Step SendFileData(Connection *c, size_t *budget) {
  size_t want = FileWant(c, *budget);
  if (want == 0) return kEnd;
  ssize_t n = SendFromFile(c->socket, c->file, want);
  if (n < 0) {
    if (WouldBlock(errno)) return kWait;
    if (errno != EINVAL && errno != ENOSYS) return kEnd;
    // A file the kernel cannot send by itself goes through the buffer.
    if (ReadFilePiece(c) != 0) return kEnd;
    return SendPending(c);
  }
  if (n == 0) return kEnd;  // the file ended early: a short body
  c->bytesSent += (uint64_t)n;
  CountFileBytes(c, (size_t)n);
  *budget -= (size_t)n < *budget ? (size_t)n : *budget;
  if (c->fileLeft == 0) return kEnd;  // all announced bytes are out
  return (size_t)n == want ? kGoOn : kWait;
}

// One step of the response: the header and body text, then the file or
// the next listing row.
Step SendStep(Connection *c, size_t *budget, bool last) {
  if (c->headerLength > 0 && c->bodyLength == 0 && c->file >= 0)
    // The first piece of the file rides with the header; a small file
    // then leaves in one call and one segment. When the read finds
    // nothing, the next step finds out again and ends the response.
    ReadFilePiece(c);
  if (c->headerLength > 0 || c->bodyLength > 0) return SendPending(c);
  if (c->file >= 0) {
    if (c->status == 206 && c->rangeSent == c->rangeEnd - c->rangeStart)
      return kEnd;
    return SendFileData(c, budget);
  }
  if (c->server->directoryListing != '0') {
    if (NextListingRow(c) != 0) return kEnd;
    // Rows are small: sent each on its own segment they would cost the
    // network stack far more than they carry. Held back for the next row,
    // they leave together when the last step of the event sends without
    // the hint, the socket is full, or the close pushes the page's end.
    return SendPending(c, !last);
  }
  return kEnd;
}

}  // namespace

int OnReadRequest(Connection *c) {
  size_t room = kBufferSize - 1 - (size_t)c->bodyLength;
  ssize_t n = RecvBytes(c->socket, c->buffer + c->bodyLength, room);
  if (n == 0) return -1;
  if (n < 0) return WouldBlock(errno) ? 0 : -1;
  c->bodyLength += (int32_t)n;
  c->bytesReceived += (uint64_t)n;
  c->buffer[c->bodyLength] = '\0';
  if (HeadComplete(c->buffer, (size_t)c->bodyLength)) {
    c->state = '1';
    if (c->server->logFormat == 'c') KeepCombinedFields(c);
    ParseRequest(c);
    BuildHeader(c);
    if (strcmp(c->method, "HEAD") == 0) {
      CloseFiles(c);
      c->bodyLength = 0;
    }
    if (HoldFailedLogin(c)) return 0;
    // A client that has just sent its request can nearly always take the
    // answer: starting it now spares a pass of the loop per request.
    return OnWriteResponse(c);
  }
  return 0;
}

int OnWriteResponse(Connection *c) {
  size_t budget = kBytesPerEvent;
  for (int step = 0; step < kStepsPerEvent && budget > 0; step++) {
    Step result = SendStep(c, &budget, step == kStepsPerEvent - 1);
    if (result != kGoOn) return result == kEnd ? -1 : 0;
  }
  return 0;
}
