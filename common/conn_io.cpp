#include "conn_io.h"

#include <cerrno>
#include <cstring>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "event_loop.h"
#include "sockets.h"

namespace {

// Pieces of a file moved through memory when the kernel cannot send it by
// itself.
const size_t kCopyPiece = 16 * 1024;

bool Again(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

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
  if (sent < 0) return Again(errno) ? Wait(io, kLoopWritable) : -1;
  return sent;
}

}  // namespace

void ConnOpen(ConnIo *io, int fd) {
  io->fd = fd;
  io->tls = nullptr;
  io->want = 0;
}

ssize_t ConnRead(ConnIo *io, void *buf, size_t len) {
  ssize_t n = recv(io->fd, buf, len, 0);
  if (n >= 0) return n;
  return Again(errno) ? Wait(io, kLoopReadable) : -1;
}

ssize_t ConnWrite(ConnIo *io, const struct iovec *parts, int count, bool more) {
  struct msghdr msg;
  memset(&msg, 0, sizeof msg);
  msg.msg_iov = const_cast<struct iovec *>(parts);
  msg.msg_iovlen = (size_t)count;
  ssize_t n = sendmsg(io->fd, &msg, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
  if (n >= 0) return n;
  return Again(errno) ? Wait(io, kLoopWritable) : -1;
}

ssize_t ConnSendFile(ConnIo *io, int file, size_t len) {
  if (len == 0) return 0;
  // sendfile has no flag against SIGPIPE; the servers ignore the signal.
  ssize_t n = sendfile(io->fd, file, nullptr, len);
  if (n >= 0) return n;
  if (Again(errno)) return Wait(io, kLoopWritable);
  if (errno == EINVAL || errno == ENOSYS) return CopyFromFile(io, file, len);
  return -1;
}

int ConnClose(ConnIo *io) {
  if (io->fd < 0) return 0;
  int r = CloseConnection(io->fd);
  io->fd = -1;
  io->tls = nullptr;
  return r;
}
