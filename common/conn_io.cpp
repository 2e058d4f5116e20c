#include "conn_io.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "event_loop.h"
#include "sockets.h"
#include "tls.h"

struct ConnTls {
  SSL *ssl;
};

namespace {

// Pieces of a file moved through memory when the kernel cannot send it by
// itself.
const size_t kCopyPiece = 16 * 1024;

ssize_t Wait(ConnIo *io, int want) {
  io->want = want;
  return kConnWait;
}

// The file's data through a buffer, for files sendfile refuses. What the
// socket did not take is given back to the file position.
ssize_t CopyFromFile(ConnIo *io, int file, size_t len) {
  char piece[kCopyPiece];
  if (len > sizeof piece) len = sizeof piece;
  ssize_t got;
  do {
    got = read(file, piece, len);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return got;
  ssize_t sent = send(io->fd, piece, (size_t)got, MSG_NOSIGNAL);
  ssize_t kept = sent < 0 ? 0 : sent;
  if (kept < got && lseek(file, (off_t)(kept - got), SEEK_CUR) == (off_t)-1)
    return -1;
  if (sent < 0) return WouldBlock(errno) ? Wait(io, kLoopWritable) : -1;
  return sent;
}

// Gathered pieces go to TLS as one record where they fit: a header and
// the start of a body leave together, as they do with sendmsg.
char gather[16 * 1024];

// What a TLS call's result means to the caller.
ssize_t TlsResult(ConnIo *io, ssize_t n) {
  if (n >= 0) return n;
  if (n == kTlsWantRead) return Wait(io, kLoopReadable);
  if (n == kTlsWantWrite) return Wait(io, kLoopWritable);
  return -1;
}

ssize_t TlsGatherWrite(ConnIo *io, const struct iovec *parts, int count) {
  int first = 0;
  while (first < count && parts[first].iov_len == 0) first++;
  if (first == count) return 0;
  if (count - first == 1 || parts[first].iov_len >= sizeof gather)
    return TlsResult(io, TlsWrite(io->tls->ssl, parts[first].iov_base,
                                  parts[first].iov_len));
  // A write that has to be repeated is repeated with at least the bytes
  // tried before, from wherever they now lie: the caller offers the same
  // pieces again, so the same copy is made.
  size_t used = 0;
  for (int i = first; i < count && used < sizeof gather; i++) {
    size_t take = parts[i].iov_len;
    if (take > sizeof gather - used) take = sizeof gather - used;
    memcpy(gather + used, parts[i].iov_base, take);
    used += take;
  }
  return TlsResult(io, TlsWrite(io->tls->ssl, gather, used));
}

}  // namespace

void ConnOpen(ConnIo *io, int fd) {
  io->fd = fd;
  io->tls = nullptr;
  io->want = 0;
}

ssize_t ConnRead(ConnIo *io, void *buf, size_t len) {
  io->want = 0;
  if (io->tls) return TlsResult(io, TlsRead(io->tls->ssl, buf, len));
  ssize_t n = recv(io->fd, buf, len, 0);
  if (n >= 0) return n;
  return WouldBlock(errno) ? Wait(io, kLoopReadable) : -1;
}

ssize_t ConnWrite(ConnIo *io, const struct iovec *parts, int count, bool more) {
  io->want = 0;
  if (io->tls) return TlsGatherWrite(io, parts, count);
  struct msghdr msg;
  memset(&msg, 0, sizeof msg);
  msg.msg_iov = const_cast<struct iovec *>(parts);
  msg.msg_iovlen = (size_t)count;
  ssize_t n = sendmsg(io->fd, &msg, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
  if (n >= 0) return n;
  return WouldBlock(errno) ? Wait(io, kLoopWritable) : -1;
}

ssize_t ConnSendFile(ConnIo *io, int file, size_t len) {
  io->want = 0;
  if (len == 0) return 0;
  if (io->tls) return TlsResult(io, TlsSendFile(io->tls->ssl, file, len));
  // sendfile has no flag against SIGPIPE; the servers ignore the signal.
  ssize_t n = sendfile(io->fd, file, nullptr, len);
  if (n >= 0) return n;
  if (WouldBlock(errno)) return Wait(io, kLoopWritable);
  if (errno == EINVAL || errno == ENOSYS) return CopyFromFile(io, file, len);
  return -1;
}

void ConnFileDone(ConnIo *io) {
  if (io->tls) TlsSendDone(io->tls->ssl);
}

int ConnClose(ConnIo *io) {
  if (io->tls) {
    // The closing alert tells the peer the data is complete (a download
    // was not cut); it is sent once, never waited for.
    TlsShutdown(io->tls->ssl);
    TlsFree(io->tls->ssl);
    free(io->tls);
    io->tls = nullptr;
  }
  if (io->fd < 0) return 0;
  int r = CloseConnection(io->fd);
  io->fd = -1;
  io->tls = nullptr;
  return r;
}

int ConnStartTls(ConnIo *io, SSL_CTX *ctx) {
  ConnTls *tls = (ConnTls *)calloc(1, sizeof(ConnTls));
  if (!tls) return -1;
  tls->ssl = TlsNew(ctx, io->fd);
  if (!tls->ssl) {
    free(tls);
    return -1;
  }
  io->tls = tls;
  return 0;
}

ssize_t ConnHandshake(ConnIo *io) {
  io->want = 0;
  if (!io->tls || TlsHandshakeDone(io->tls->ssl)) return 1;
  return TlsResult(io, TlsAccept(io->tls->ssl));
}

SSL *ConnSsl(const ConnIo *io) { return io->tls ? io->tls->ssl : nullptr; }

int ConnPending(const ConnIo *io) {
  return io->tls ? TlsPending(io->tls->ssl) : 0;
}
