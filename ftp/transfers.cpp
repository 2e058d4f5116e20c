#include "transfers.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/uio.h>

#include "addresses.h"
#include "clock.h"
#include "command_channel.h"
#include "conn_io.h"
#include "event_loop.h"
#include "listing.h"
#include "rooted_files.h"
#include "security_commands.h"
#include "sockets.h"
#include "throttle.h"
#include "upload_files.h"
#include "virtual_paths.h"

static const char kInUse[] = "451 File handle is in use.\n";
static const char kGuard[] = "550 Why don't you go fuck yourself?\n";
static const char kRetrMissing[] = "550 Can't process RETR without argument.\n";
static const char kStorMissing[] = "550 Can't process STOR without argument.\n";
static const char kAppeMissing[] = "550 Can't process APPE without argument.\n";
static const char kBinaryCorrupt[] = "451 Binary flag corrupt (flag set to binary).\n";
static const char kSeekFailed[] = "550 Seek failed.\n";

// Unthrottled transfers move up to kTurnRounds pieces per readiness event,
// file data in pieces of the size of `chunk`. The cap keeps one fast
// client from holding up the others; the chunk is shared by all sessions
// (one thread) and never holds anything between two calls.
static const int kTurnRounds = 4;
static char chunk[256 * 1024];

// Opening a FIFO or a device could block the whole server, and a directory
// is no file to transfer: only what is missing or a regular file goes on.
// O_NONBLOCK guards against a swap between this look and the open.
static bool NotAFile(const Request *pReq, const char *path) {
  struct stat st;
  return RootedStat(pReq, path, &st) == 0 && !S_ISREG(st.st_mode);
}

static bool OpenedAFile(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// '1' binary, '0' ASCII: both move the same bytes on this platform. Any
// other value is repaired and refused.
static bool BinaryFlagCorrupt(Request *pReq) {
  if (pReq->binaryMode == '1' || pReq->binaryMode == '0') return false;
  pReq->binaryMode = '1';
  SendFTPstring(pReq, kBinaryCorrupt);
  return true;
}

// The checks RETR, STOR and APPE share, in their order: no transfer file
// open already, a path inside the root (its real form left in `real`),
// nothing there that is not a regular file, a sane mode flag. 0 when the
// transfer may go on, else the code of the reply queued.
static int CheckTransferPath(Request *pReq, const char *missingReply,
                             char *real, size_t size) {
  if (ClearDataRefused(pReq)) return 522;
  if (pReq->xfer.file != -1) {
    SendFTPstring(pReq, kInUse);
    return 451;
  }
  int refused = DirectJoin(pReq, real, size, kGuard, missingReply);
  if (refused) return refused;
  if (NotAFile(pReq, real)) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  if (BinaryFlagCorrupt(pReq)) return 451;
  return 0;
}

int DoRETR(Request *pReq) {
  char real[kRealPathSize] = "";
  // The offset belongs to this command alone, whether or not it gets as
  // far as the transfer: a later one always starts at 0.
  int64_t offset = pReq->restOffset;
  pReq->restOffset = 0;
  int refused = CheckTransferPath(pReq, kRetrMissing, real, sizeof real);
  if (refused) return refused;
  int fd = RootedOpen(pReq, real, O_RDONLY | O_NONBLOCK);
  if (fd >= 0 && !OpenedAFile(fd)) {
    close(fd);
    fd = -1;
  }
  if (fd < 0) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  pReq->xfer.file = fd;
  if (offset > 0) {
    // The file stays open: RETR, STOR and APPE answer "in use" until ABOR,
    // PASV, PORT or the end of a transfer closes it.
    if (lseek(fd, (off_t)offset, SEEK_SET) == (off_t)-1) {
      SendFTPstring(pReq, kSeekFailed);
      return 550;
    }
  }
  pReq->xfer.state = kDataSending;
  SendFTPstring(pReq, Mess150);
  return 150;
}

static int StartUpload(Request *pReq, bool append, const char *missingReply) {
  char real[kRealPathSize] = "";
  // As for RETR: the offset is used here or never.
  int64_t offset = pReq->restOffset;
  pReq->restOffset = 0;
  CloseDataBuffer(pReq);
  int refused = CheckTransferPath(pReq, missingReply, real, sizeof real);
  if (refused) return refused;
  refused = OpenUploadFile(pReq, real, append, offset);
  if (refused) return refused;
  pReq->xfer.state = kDataReceiving;
  SendFTPstring(pReq, Mess150);
  return 150;
}

int DoSTOR(Request *pReq) { return StartUpload(pReq, false, kStorMissing); }
int DoAPPE(Request *pReq) { return StartUpload(pReq, true, kAppeMissing); }

static int StartListing(Request *pReq, const char *path, ListFormat format) {
  if (ClearDataRefused(pReq)) return 522;
  CloseDataBuffer(pReq);
  const char *refusal = PrepareListing(pReq, path, format);
  if (refusal) {
    // No listing: the data connection prepared for it goes.
    CloseDataConnection(pReq);
    SendFTPstring(pReq, refusal);
    return refusal == Mess550 ? 550 : 451;
  }
  pReq->xfer.state = kDataSending;
  SendFTPstring(pReq, kListStarted);
  return 150;
}

int DoLIST(Request *pReq) {
  return StartListing(pReq, ListPath(pReq->cmnd.space->argument), kListLong);
}
int DoNLST(Request *pReq) {
  return StartListing(pReq, ListPath(pReq->cmnd.space->argument), kListNames);
}
int DoMLSD(Request *pReq) { return StartListing(pReq, pReq->cmnd.space->argument, kListFacts); }

int StartEmptyListing(Request *pReq) {
  if (ClearDataRefused(pReq)) return 522;
  // Nothing of an earlier, interrupted listing may follow.
  if (pReq->xfer.dir) closedir(pReq->xfer.dir);
  pReq->xfer.dir = nullptr;
  pReq->xfer.length = 0;
  pReq->xfer.state = kDataSending;
  SendFTPstring(pReq, Mess150);
  return 150;
}

// --- The data connection -------------------------------------------------

// The loop forgets a socket before it is closed, so that a number the
// system hands out again starts unwatched.
static void Unwatch(Request *pReq, int fd) {
  if (fd != -1 && pReq->pConfig && pReq->pConfig->loop)
    UnwatchFd(pReq->pConfig->loop, fd);
}

static void CloseListener(Request *pReq) {
  Unwatch(pReq, pReq->xfer.listenSocket);
  CloseConnection(pReq->xfer.listenSocket);
  pReq->xfer.listenSocket = -1;
}

// After PROT P a data connection speaks TLS from its first byte, the
// client being the TLS client whichever side connected. 0, or -1 after a
// 425 when TLS cannot be started.
int ProtectNewConnection(Request *pReq) {
  if (ProtectDataConnection(pReq) == 0) return 0;
  CloseXferConnection(pReq);
  SendFTPstring(pReq, Mess425);
  return -1;
}

int OnAcceptXfer(Request *pReq) {
  CloseXferConnection(pReq);
  if (pReq->xfer.listenSocket == -1) {
    SendFTPstring(pReq, Mess425);
    return -1;
  }
  if (!pReq->xfer.passive) {
    ConnOpen(&pReq->xfer.io, pReq->xfer.listenSocket);
    pReq->xfer.listenSocket = -1;
    return ProtectNewConnection(pReq);
  }
  NetAddress peer;
  errno = 0;
  int sock = AcceptFrom(pReq->xfer.listenSocket, SocketRoom(pReq->pConfig), &peer);
  if (sock < 0) {
    // A connection that went away before it was taken: nothing to report,
    // the socket keeps listening.
    if (WouldBlock(errno) || errno == ECONNABORTED) return -1;
    // Out of descriptors or worse: the listener would stay ready and be
    // tried again pass after pass, so it goes. The reply waits for any
    // line the client is still sending.
    CloseListener(pReq);
    SendFinalReply(pReq, Mess425);
    return -1;
  }
  if (!SameHost(&peer, &pReq->clientAddress)) {
    // A stranger got to the port first: closed without a word, since a
    // reply would land in the middle of whatever the client is sending;
    // the client itself can still connect.
    CloseConnection(sock);
    return -1;
  }
  // Exactly one connection per PASV: nobody else reaches the port now.
  CloseListener(pReq);
  ConnOpen(&pReq->xfer.io, sock);
  return ProtectNewConnection(pReq);
}

// --- Downloads and listings -------------------------------------------

// Fills the empty buffer from the file or with listing lines. 0 to go on
// (the buffer may still be empty), -1 at the end (xfer.state kDataIdle) or on a
// read error.
static int RefillBuffer(Request *pReq) {
  if (pReq->xfer.file != -1) {
    if (!HoldXferBuffers(pReq)) return -1;
    ssize_t n = read(pReq->xfer.file, pReq->xfer.bufs->buffer, kDataBufferSize);
    if (n < 0) return -1;
    if (n == 0) {
      pReq->xfer.state = kDataIdle;
      return -1;
    }
    pReq->xfer.length = (int32_t)n;
    return 0;
  }
  // A listing runs to its end whatever the client sends meanwhile: a
  // command sent along with LIST must not leave the listing hanging.
  if (GenerateDirectoryListing(pReq) != 0) {
    pReq->xfer.state = kDataIdle;
    return -1;
  }
  return 0;
}

// Sends what the buffer holds, keeping the unsent rest at its start.
// 1 when all of it went out, 0 when the socket took less (or nothing),
// -1 on an error.
static int SendBuffer(Request *pReq) {
  struct iovec part = {pReq->xfer.bufs->buffer, (size_t)pReq->xfer.length};
  ssize_t n = ConnWrite(&pReq->xfer.io, &part, 1);
  if (n == kConnWait) return 0;
  if (n < 0) return -1;
  pReq->bytesSent += (uint64_t)n;
  pReq->xfer.length -= (int32_t)n;
  memmove(pReq->xfer.bufs->buffer, pReq->xfer.bufs->buffer + n, (size_t)pReq->xfer.length);
  return pReq->xfer.length == 0 ? 1 : 0;
}

// A file piece straight into the connection (the kernel copies it, or TLS
// encrypts it); the file position moves by what the connection took, so
// nothing of the file waits in memory. 1 all sent, 0 the connection is
// full, -1 at the end of the file (xfer.state kDataIdle) or on an error.
static int SendFilePiece(Request *pReq) {
  ssize_t sent = ConnSendFile(&pReq->xfer.io, pReq->xfer.file, sizeof chunk);
  if (sent == kConnWait) return 0;
  if (sent < 0) return -1;
  if (sent == 0) {
    pReq->xfer.state = kDataIdle;
    return -1;
  }
  pReq->bytesSent += (uint64_t)sent;
  return (size_t)sent == sizeof chunk ? 1 : 0;
}

int OnWriteData(Request *pReq) {
  if (Throttled(pReq)) {
    // One buffer per turn, counted by the shared window.
    if (pReq->xfer.length == 0 && RefillBuffer(pReq) != 0) return -1;
    if (pReq->xfer.length == 0) return 0;
    if (Throttle(pReq, (uint64_t)pReq->xfer.length) != 0) return 0;
    return SendBuffer(pReq) < 0 ? -1 : 0;
  }
  for (int round = 0; round < kTurnRounds; round++) {
    int sent;
    if (pReq->xfer.length == 0 && pReq->xfer.file != -1) {
      sent = SendFilePiece(pReq);
    } else {
      if (pReq->xfer.length == 0 && RefillBuffer(pReq) != 0) return -1;
      if (pReq->xfer.length == 0) return 0;
      sent = SendBuffer(pReq);
    }
    if (sent < 0) return -1;
    if (sent == 0) return 0;
  }
  return 0;
}

// --- Uploads -----------------------------------------------------------

// An upload refused midway (the quota, a write error) finds the client
// still sending. Closing at once would reset the connection under its
// write, and a TLS client would see a cut stream (no closing alert) before
// it ever reads the refusal. So the rest is read and dropped until the
// client ends its stream; then the closing alert, then the refusal. The
// bounds keep a client that never stops from holding the session: about
// what a fast link brings in the time a client takes to notice.
static const int64_t kDrainBytes = 64 * 1024 * 1024;
static const int64_t kDrainMs = 10 * 1000;

// The file is let go at once (an upload into a temporary name leaves the
// old file whole); the refusal waits for the drain's end.
static void StartDrain(Request *pReq, const char *reply) {
  CloseDataFile(pReq);
  pReq->xfer.length = 0;
  pReq->xfer.state = kDataDraining;
  pReq->xfer.drainReply = reply;
  pReq->xfer.drainEndMs = NowMs() + kDrainMs;
  pReq->xfer.drained = 0;
}

// Reads and drops: 0 to go on, -1 when the drain is over (the client's
// end of stream, an error, or a bound reached).
static int DrainData(Request *pReq) {
  for (int round = 0; round < kTurnRounds; round++) {
    ssize_t got = ConnRead(&pReq->xfer.io, chunk, sizeof chunk);
    if (got == kConnWait) break;
    if (got <= 0) return -1;
    pReq->bytesReceived += (uint64_t)got;
    pReq->xfer.drained += got;
    if (pReq->xfer.drained >= kDrainBytes) return -1;
  }
  return NowMs() >= pReq->xfer.drainEndMs ? -1 : 0;
}

int64_t DrainWaitMs(const Request *pReq) {
  if (pReq->xfer.state != kDataDraining || pReq->xfer.io.fd == -1) return -1;
  int64_t left = pReq->xfer.drainEndMs - NowMs();
  return left > 0 ? left : 0;
}

// One receive: 1 stored, 0 nothing there (or the upload refused: the
// drain goes on), -1 at the end of the upload (xfer.state kDataIdle) or
// on an error.
static int ReceivePiece(Request *pReq, char *into, size_t room) {
  ssize_t got = ConnRead(&pReq->xfer.io, into, room);
  if (got == 0) {
    pReq->xfer.length = 0;
    pReq->xfer.state = kDataIdle;
    return -1;
  }
  if (got == kConnWait) return 0;
  if (got < 0) return -1;
  pReq->bytesReceived += (uint64_t)got;
  const char *reply = nullptr;
  if (StoreUploadBytes(pReq, into, (size_t)got, &reply) == 0) return 1;
  StartDrain(pReq, reply);
  return 0;
}

int OnReadData(Request *pReq) {
  if (pReq->xfer.state == kDataDraining) return DrainData(pReq);
  if (Throttled(pReq)) {
    // One buffer per turn; the count is the room of the buffer, whatever
    // then arrives.
    uint64_t room = (uint64_t)(kDataBufferSize - pReq->xfer.length);
    if (Throttle(pReq, room) != 0) return 0;
    if (!HoldXferBuffers(pReq)) return -1;
    int result = ReceivePiece(pReq, pReq->xfer.bufs->buffer, (size_t)room);
    pReq->xfer.length = 0;
    return result < 0 ? -1 : 0;
  }
  for (int round = 0; round < kTurnRounds; round++) {
    int result = ReceivePiece(pReq, chunk, sizeof chunk);
    if (result < 0) return -1;
    if (result == 0) return 0;
  }
  return 0;
}

// --- The end of a transfer ---------------------------------------------

// A pump reported its end: exactly one final reply (the pump's own, or
// the completion line), then the data side is torn down.
static void EndTransfer(Request *pReq, bool upload) {
  bool complete = pReq->xfer.state == kDataIdle;
  const char *completion = complete ? Mess226 : Mess451;
  if (pReq->xfer.state == kDataDraining) {
    // The closing alert goes before the refusal: a client reads its data
    // connection to the end before it looks for the reply.
    CloseXferConnection(pReq);
    pReq->cmnd.finalReply = pReq->xfer.drainReply;
  }
  // An upload that ended well takes its name now; one that failed is
  // dropped with the transfer.
  if (upload && complete && FinishUpload(pReq) != 0) completion = Mess451;
  SendFinalReply(pReq, completion);
  DropTransfer(pReq);
}

// A data connection refused before any byte moved (a TLS handshake that
// failed or resumed no session of this client's): 425 in place of the
// completion, and the transfer goes as if ABOR had come.
static void RefuseTransfer(Request *pReq) {
  SendFinalReply(pReq, Mess425);
  DropTransfer(pReq);
}

void PumpTransfer(Request *pReq) {
  // A spent bandwidth window: the wake timer comes back for it.
  if (DataWaits(pReq)) return;
  if (IfDataSend(pReq) != 0 && IfDataRecv(pReq) != 0) return;
  // The handshake ends before the first byte, even of an empty listing: a
  // client must not see its data connection close halfway through it.
  int secured = SecureDataConnection(pReq);
  if (secured == 0) return;
  if (secured < 0) {
    RefuseTransfer(pReq);
    return;
  }
  if (IfDataSend(pReq) == 0) {
    if (OnWriteData(pReq) != 0) EndTransfer(pReq, false);
  } else if (IfDataRecv(pReq) == 0) {
    if (OnReadData(pReq) != 0) EndTransfer(pReq, true);
  }
}

void SendFinalReply(Request *pReq, const char *completion) {
  const char *text = pReq->cmnd.finalReply ? pReq->cmnd.finalReply : completion;
  pReq->cmnd.finalReply = nullptr;
  // The channel holds one reply at a time; while it is still sending
  // another one (a NOOP answered mid-transfer), this one waits its turn
  // instead of being dropped.
  if (IfCmndSend(pReq) == 0)
    pReq->cmnd.finalReply = text;
  else
    SendFTPstring(pReq, text);
}

void SendPendingReply(Request *pReq) {
  if (!pReq->cmnd.finalReply || IfCmndSend(pReq) == 0) return;
  const char *text = pReq->cmnd.finalReply;
  pReq->cmnd.finalReply = nullptr;
  SendFTPstring(pReq, text);
}

bool DataWaits(const Request *pReq) {
  if (pReq->xfer.io.fd == -1) return false;
  return (pReq->xfer.state == kDataSending || pReq->xfer.state == kDataReceiving) &&
         ThrottleWaits(pReq);
}

// The readiness tests the loop asks: 0 = yes, -1 = no.
int IfDataSend(Request *pReq) {
  return pReq->xfer.state == kDataSending && pReq->xfer.io.fd != -1 ? 0 : -1;
}

int IfDataRecv(Request *pReq) {
  return (pReq->xfer.state == kDataReceiving || pReq->xfer.state == kDataDraining) &&
                 pReq->xfer.io.fd != -1 && pReq->xfer.length < kDataBufferSize
             ? 0
             : -1;
}

int IfAcceptXfer(Request *pReq) {
  return pReq->xfer.listenSocket != -1 && pReq->xfer.io.fd == -1 ? 0 : -1;
}

// --- Tear-down -----------------------------------------------------------

void CloseXferConnection(Request *pReq) {
  Unwatch(pReq, pReq->xfer.io.fd);
  ConnClose(&pReq->xfer.io);
  pReq->xfer.io.want = 0;
}

void CloseDataConnection(Request *pReq) {
  CloseListener(pReq);
  pReq->xfer.passive = true;
  CloseXferConnection(pReq);
}

void CloseDataBuffer(Request *pReq) {
  pReq->xfer.length = 0;
  pReq->xfer.state = kDataIdle;
  if (pReq->xfer.bufs) memset(pReq->xfer.bufs->buffer, 0, sizeof pReq->xfer.bufs->buffer);
}

void CloseDataFile(Request *pReq) {
  AbortUpload(pReq);
  if (pReq->xfer.file != -1) close(pReq->xfer.file);
  pReq->xfer.file = -1;
}

void DropTransfer(Request *pReq) {
  CloseDataFile(pReq);
  CloseDataConnection(pReq);
  if (pReq->xfer.dir) closedir(pReq->xfer.dir);
  if (pReq->xfer.bufs) GiveBackBlock(&pReq->pConfig->xferBlocks, pReq->xfer.bufs);
  pReq->xfer = XferChannel();
}

void EndSessionTransfer(Request *pReq) {
  FinishUpload(pReq);
  DropTransfer(pReq);
}
