#include "session_io.h"

#include <sys/uio.h>

#include "conn_io.h"
#include "event_loop.h"
#include "tls.h"

namespace {

// The connection as the layer sees it: borrowed for one call, what the
// call changed (TLS state, the readiness waited for) is handed back.
struct Borrowed {
  ConnIo io;
  int *fd;
  ConnTls **tls;
  int32_t *want;
};

Borrowed Cmnd(Request *pReq) {
  Borrowed b = {{pReq->cmndSocket, pReq->cmndTls, 0}, &pReq->cmndSocket,
                &pReq->cmndTls, &pReq->cmndWant};
  return b;
}

Borrowed Xfer(Request *pReq) {
  Borrowed b = {{pReq->xferSocket, pReq->xferTls, 0}, &pReq->xferSocket,
                &pReq->xferTls, &pReq->xferWant};
  return b;
}

ssize_t GiveBack(Borrowed *b, ssize_t n) {
  *b->fd = b->io.fd;
  *b->tls = b->io.tls;
  *b->want = n == kConnWait ? b->io.want : 0;
  return n;
}

ssize_t Read(Borrowed b, void *buf, size_t len) {
  return GiveBack(&b, ConnRead(&b.io, buf, len));
}

ssize_t Write(Borrowed b, const void *buf, size_t len) {
  struct iovec part = {const_cast<void *>(buf), len};
  return GiveBack(&b, ConnWrite(&b.io, &part, 1));
}

void Close(Borrowed b) {
  ConnClose(&b.io);
  GiveBack(&b, 0);
}

int StartTls(Borrowed b, SSL_CTX *ctx) {
  if (!ctx || b.io.fd < 0) return -1;
  int result = ConnStartTls(&b.io, ctx);
  GiveBack(&b, 0);
  return result;
}

bool BytesWait(int fd, ConnTls *tls) {
  if (!tls) return false;
  ConnIo io = {fd, tls, 0};
  return ConnPending(&io) > 0;
}

}  // namespace

ssize_t CmndRead(Request *pReq, void *buf, size_t len) {
  return Read(Cmnd(pReq), buf, len);
}

ssize_t CmndWrite(Request *pReq, const void *buf, size_t len) {
  return Write(Cmnd(pReq), buf, len);
}

ssize_t XferRead(Request *pReq, void *buf, size_t len) {
  return Read(Xfer(pReq), buf, len);
}

ssize_t XferWrite(Request *pReq, const void *buf, size_t len) {
  return Write(Xfer(pReq), buf, len);
}

ssize_t XferSendFile(Request *pReq, int file, size_t len) {
  Borrowed b = Xfer(pReq);
  return GiveBack(&b, ConnSendFile(&b.io, file, len));
}

void ForgetSocket(Request *pReq, int fd) {
  if (fd != -1 && pReq->pConfig && pReq->pConfig->loop)
    UnwatchFd(pReq->pConfig->loop, fd);
}

void CloseCmnd(Request *pReq) {
  ForgetSocket(pReq, pReq->cmndSocket);
  Close(Cmnd(pReq));
}

void CloseXfer(Request *pReq) {
  ForgetSocket(pReq, pReq->xferSocket);
  Close(Xfer(pReq));
}

int StartCmndTls(Request *pReq) {
  return StartTls(Cmnd(pReq), pReq->pConfig->tlsContext);
}

int StartXferTls(Request *pReq) {
  if (StartTls(Xfer(pReq), pReq->pConfig->tlsContext) != 0) return -1;
  ConnIo io = {pReq->xferSocket, pReq->xferTls, 0};
  TlsNoTickets(ConnSsl(&io));
  return 0;
}

bool CmndBytesWait(const Request *pReq) {
  return BytesWait(pReq->cmndSocket, pReq->cmndTls);
}

bool XferBytesWait(const Request *pReq) {
  return BytesWait(pReq->xferSocket, pReq->xferTls);
}

int CmndWatch(const Request *pReq, int natural) {
  return pReq->cmndWant ? pReq->cmndWant : natural;
}

int XferWatch(const Request *pReq, int natural) {
  return pReq->xferWant ? pReq->xferWant : natural;
}
