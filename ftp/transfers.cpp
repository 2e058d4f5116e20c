#include "transfers.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "command_channel.h"
#include "conn_io.h"
#include "dispatcher.h"
#include "listing.h"
#include "rooted_files.h"
#include "session_io.h"
#include "sessions.h"
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
// open already, a path inside the root (its real form left in tmpBuf),
// nothing there that is not a regular file, a sane mode flag. 0 when the
// transfer may go on, else the code of the reply queued.
static int CheckTransferPath(Request *pReq, const char *missingReply) {
  if (pReq->dataFile != -1) {
    SendFTPstring(pReq, kInUse);
    return 451;
  }
  int refused = DirectJoin(pReq, tmpBuf, sizeof tmpBuf, kGuard, missingReply);
  if (refused) return refused;
  if (NotAFile(pReq, tmpBuf)) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  if (BinaryFlagCorrupt(pReq)) return 451;
  return 0;
}

int DoRETR(Request *pReq) {
  // The offset belongs to this command alone, whether or not it gets as
  // far as the transfer: a later one always starts at 0.
  int64_t offset = pReq->restOffset;
  pReq->restOffset = 0;
  int refused = CheckTransferPath(pReq, kRetrMissing);
  if (refused) return refused;
  int fd = RootedOpen(pReq, tmpBuf, O_RDONLY | O_NONBLOCK);
  if (fd >= 0 && !OpenedAFile(fd)) {
    close(fd);
    fd = -1;
  }
  if (fd < 0) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  pReq->dataFile = fd;
  if (offset > 0) {
    // The file stays open: RETR, STOR and APPE answer "in use" until ABOR,
    // PASV, PORT or the end of a transfer closes it.
    if (lseek(fd, (off_t)offset, SEEK_SET) == (off_t)-1) {
      SendFTPstring(pReq, kSeekFailed);
      return 550;
    }
  }
  pReq->dataState = kDataSending;
  SendFTPstring(pReq, Mess150);
  return 150;
}

static int StartUpload(Request *pReq, bool append, const char *missingReply) {
  // As for RETR: the offset is used here or never.
  int64_t offset = pReq->restOffset;
  pReq->restOffset = 0;
  CloseDataBuffer(pReq);
  int refused = CheckTransferPath(pReq, missingReply);
  if (refused) return refused;
  refused = OpenUploadFile(pReq, tmpBuf, append, offset);
  if (refused) return refused;
  pReq->dataState = kDataReceiving;
  SendFTPstring(pReq, Mess150);
  return 150;
}

int DoSTOR(Request *pReq) { return StartUpload(pReq, false, kStorMissing); }
int DoAPPE(Request *pReq) { return StartUpload(pReq, true, kAppeMissing); }

// --- Downloads and listings -------------------------------------------

// Fills the empty buffer from the file or with listing lines. 0 to go on
// (the buffer may still be empty), -1 at the end (dataState 4) or on a
// read error.
static int RefillBuffer(Request *pReq) {
  if (pReq->dataFile != -1) {
    ssize_t n = read(pReq->dataFile, pReq->dataBuffer, kDataBufferSize);
    if (n < 0) return -1;
    if (n == 0) {
      pReq->dataState = kDataIdle;
      return -1;
    }
    pReq->dataLength = (int32_t)n;
    return 0;
  }
  // A listing runs to its end whatever the client sends meanwhile: a
  // command sent along with LIST must not leave the listing hanging.
  if (GenerateDirectoryListing(pReq) != 0) {
    pReq->dataState = kDataIdle;
    return -1;
  }
  return 0;
}

// Sends what the buffer holds, keeping the unsent rest at its start.
// 1 when all of it went out, 0 when the socket took less (or nothing),
// -1 on an error.
static int SendBuffer(Request *pReq) {
  ssize_t n = XferWrite(pReq, pReq->dataBuffer, (size_t)pReq->dataLength);
  if (n == kConnWait) return 0;
  if (n < 0) return -1;
  pReq->bytesSent += (uint64_t)n;
  pReq->dataLength -= (int32_t)n;
  memmove(pReq->dataBuffer, pReq->dataBuffer + n, (size_t)pReq->dataLength);
  return pReq->dataLength == 0 ? 1 : 0;
}

// A file piece straight into the connection (the kernel copies it, or TLS
// encrypts it); the file position moves by what the connection took, so
// nothing of the file waits in memory. 1 all sent, 0 the connection is
// full, -1 at the end of the file (dataState 4) or on an error.
static int SendFilePiece(Request *pReq) {
  ssize_t sent = XferSendFile(pReq, pReq->dataFile, sizeof chunk);
  if (sent == kConnWait) return 0;
  if (sent < 0) return -1;
  if (sent == 0) {
    pReq->dataState = kDataIdle;
    return -1;
  }
  pReq->bytesSent += (uint64_t)sent;
  return (size_t)sent == sizeof chunk ? 1 : 0;
}

int OnWriteData(Request *pReq) {
  if (Throttled(pReq)) {
    // One buffer per turn, counted by the shared window.
    if (pReq->dataLength == 0 && RefillBuffer(pReq) != 0) return -1;
    if (pReq->dataLength == 0) return 0;
    if (Throttle(pReq, (uint64_t)pReq->dataLength) != 0) return 0;
    return SendBuffer(pReq) < 0 ? -1 : 0;
  }
  for (int round = 0; round < kTurnRounds; round++) {
    int sent;
    if (pReq->dataLength == 0 && pReq->dataFile != -1) {
      sent = SendFilePiece(pReq);
    } else {
      if (pReq->dataLength == 0 && RefillBuffer(pReq) != 0) return -1;
      if (pReq->dataLength == 0) return 0;
      sent = SendBuffer(pReq);
    }
    if (sent < 0) return -1;
    if (sent == 0) return 0;
  }
  return 0;
}

// --- Uploads -----------------------------------------------------------

// The pump's own final reply: it replaces the completion line.
static int FailUpload(Request *pReq, const char *reply) {
  pReq->pendingReply = reply;
  return -1;
}

static int StoreBytes(Request *pReq, const char *data, size_t n) {
  const char *reply = nullptr;
  if (StoreUploadBytes(pReq, data, n, &reply) != 0) return FailUpload(pReq, reply);
  return 0;
}

// One receive: 1 stored, 0 nothing there, -1 at the end of the upload
// (dataState 4) or on an error.
static int ReceivePiece(Request *pReq, char *into, size_t room) {
  ssize_t got = XferRead(pReq, into, room);
  if (got == 0) {
    pReq->dataLength = 0;
    pReq->dataState = kDataIdle;
    return -1;
  }
  if (got == kConnWait) return 0;
  if (got < 0) return -1;
  pReq->bytesReceived += (uint64_t)got;
  return StoreBytes(pReq, into, (size_t)got) == 0 ? 1 : -1;
}

int OnReadData(Request *pReq) {
  if (Throttled(pReq)) {
    // One buffer per turn; the count is the room of the buffer, whatever
    // then arrives.
    uint64_t room = (uint64_t)(kDataBufferSize - pReq->dataLength);
    if (Throttle(pReq, room) != 0) return 0;
    int result = ReceivePiece(pReq, pReq->dataBuffer, (size_t)room);
    pReq->dataLength = 0;
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

void SendFinalReply(Request *pReq, const char *completion) {
  const char *text = pReq->pendingReply ? pReq->pendingReply : completion;
  pReq->pendingReply = nullptr;
  // The channel holds one reply at a time; while it is still sending
  // another one (a NOOP answered mid-transfer), this one waits its turn
  // instead of being dropped.
  if (IfCmndSend(pReq) == 0)
    pReq->pendingReply = text;
  else
    SendFTPstring(pReq, text);
}

void SendPendingReply(Request *pReq) {
  if (!pReq->pendingReply || IfCmndSend(pReq) == 0) return;
  const char *text = pReq->pendingReply;
  pReq->pendingReply = nullptr;
  SendFTPstring(pReq, text);
}

bool DataWaits(const Request *pReq) {
  if (pReq->xferSocket == -1) return false;
  return (pReq->dataState == kDataSending || pReq->dataState == kDataReceiving) &&
         ThrottleWaits(pReq);
}
