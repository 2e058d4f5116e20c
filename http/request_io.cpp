#include "request_io.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "connections.h"
#include "http_server.h"
#include "listing_page.h"
#include "request_parser.h"
#include "response.h"
#include "sockets.h"

namespace {

// Sends what is pending in buf once; the unsent rest moves to the front.
int SendPending(Connection *c, char *buf, int32_t *pending) {
  if (*pending <= 0) return 0;
  ssize_t n = SendBytes(c->socket, buf, (size_t)*pending);
  if (n < 0) return WouldBlock(errno) ? 0 : -1;
  if (n > 0) {
    c->bytesSent += (uint64_t)n;
    *pending -= (int32_t)n;
    if (*pending > 0) memmove(buf, buf + n, (size_t)*pending);
  }
  return 0;
}

// Next piece of the open file into buffer; -1 when the file is done.
int ReadFilePiece(Connection *c) {
  size_t want = sizeof c->buffer;
  if (c->fileLeft >= 0) {
    if (c->fileLeft == 0) return -1;
    if ((int64_t)want > c->fileLeft) want = (size_t)c->fileLeft;
  }
  ssize_t n;
  do {
    n = read(c->file, c->buffer, want);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return -1;
  c->bodyLength = (int32_t)n;
  if (c->fileLeft > 0) c->fileLeft -= n;
  if (c->status == 206) c->rangeSent += n;
  return 0;
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
  if (strstr(c->buffer, "\r\n\r\n") || c->bodyLength == kBufferSize - 1) {
    c->state = '1';
    ParseRequest(c);
    BuildHeader(c);
    if (strcmp(c->method, "HEAD") == 0) {
      CloseFiles(c);
      c->bodyLength = 0;
    }
  }
  return 0;
}

int OnWriteResponse(Connection *c) {
  if (c->headerLength > 0) return SendPending(c, c->header, &c->headerLength);
  if (c->bodyLength > 0) return SendPending(c, c->buffer, &c->bodyLength);
  if (c->file >= 0) {
    if (ReadFilePiece(c) != 0) return -1;
    return SendPending(c, c->buffer, &c->bodyLength);
  }
  if (c->server->directoryListing != '0') {
    if (NextListingRow(c) != 0) return -1;
    return SendPending(c, c->buffer, &c->bodyLength);
  }
  return -1;
}
