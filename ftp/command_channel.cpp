#include "command_channel.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <sys/uio.h>

#include "command_log.h"
#include "conn_io.h"
#include "sockets.h"

const char Mess150[] = "150 Starting transfer.\n";
const char Mess200[] = "200 Command okay.\n";
const char Mess220[] = "220 Ready.\n";
const char Mess221[] = "221 Goodbye!\n";
const char Mess226[] = "226 Transfer complete.\n";
const char Mess230[] = "230 Welcome!\n";
const char Mess250[] = "250 Requested action okay, completed.\n";
const char Mess331[] = "331 User name okay, need password.\n";
const char Mess332[] = "332 Need account for login.\n";
const char Mess350[] = "350 Requested action pending further information.\n";
const char Mess425[] = "425 Can't open data connection.\n";
const char Mess450[] = "450 Requested action not taken.\n";
const char Mess451[] = "451 Requested action aborted, local error in processing.\n";
const char Mess500[] = "500 Syntax error, command unrecognized.\n";
const char Mess502[] = "502 Command not implemented.\n";
const char Mess503[] = "503 Bad sequence of commands.\n";
const char Mess550[] = "550 Requested action not taken.\n";
const char kPermissionDenied[] = "550 Permission denied.\n";

// Command words by code; code 22 has no word.
static const char *const kCommandWords[kWordCount] = {
    "CDUP", "SYST", "PASV", "QUIT", "PWD",  "USER", "PASS", "LIST", "ABOR",
    "CWD",  "TYPE", "MKD",  "DELE", "RMD",  "STOR", "RETR", "NOOP", "APPE",
    "PORT", "REST", "RNFR", "RNTO", nullptr, "MDTM", "SIZE", "SITE",
    "NLST", "MLSD", "MLST", "EPSV", "EPRT", "FEAT", "OPTS",
    "AUTH", "PBSZ", "PROT", "ALLO", "MODE", "STRU", "STAT", "HELP", "MFMT"};

// The X forms of RFC 775, still sent by some clients: the same commands
// under another word.
static const struct {
  const char *word;
  int code;
} kAliases[] = {{"XPWD", kPWD}, {"XMKD", kMKD}, {"XCWD", kCWD}, {"XRMD", kRMD}};

int NotImplemented(Request *pReq) {
  SendFTPstring(pReq, Mess502);
  return 502;
}

int PermissionOf(int code) {
  switch (code) {
    case kNLST: case kMLSD: case kMLST: return kLIST;
    case kEPSV: return kPASV;
    case kEPRT: return kPORT;
    case kFEAT: case kOPTS: case kAUTH: case kPBSZ: case kPROT: return -1;
    case kALLO: case kMODE: case kSTRU: case kSTAT: case kHELP: return -1;
    case kMFMT: return kSTOR;
    default: return code >= 0 && code < kCommandCount ? code : -1;
  }
}

// The last byte of the command buffer always stays zero.
static const int kMaxLine = kCmndBufferSize - 1;

// Telnet bytes a client mixes into the command stream (IAC IP, IAC DM
// before an urgent ABOR) are no part of any command line.
static const unsigned char kIac = 0xFF;

// Drops Telnet sequences from n freshly received bytes at p, in place: IAC
// and the byte after it go, IAC IAC stays as one 0xFF. An IAC at the end
// of a read leaves its command byte to the next one. Returns the bytes
// kept.
static size_t StripTelnet(Request *pReq, char *p, size_t n) {
  size_t kept = 0;
  for (size_t i = 0; i < n; i++) {
    unsigned char ch = (unsigned char)p[i];
    if (pReq->cmnd.telnetIac) {
      pReq->cmnd.telnetIac = false;
      if (ch == kIac) p[kept++] = (char)ch;
      continue;
    }
    if (ch == kIac) {
      pReq->cmnd.telnetIac = true;
      continue;
    }
    p[kept++] = (char)ch;
  }
  return kept;
}

// The rest of a refused over-long line never runs as a command of its
// own (a front end that builds "RETR <name>" from user input would
// otherwise run whatever the name carries past the buffer): the bytes up
// to its line end go, what follows is the next line.
static void DropRefusedRest(Request *pReq) {
  if (!pReq->cmnd.discarding || pReq->cmnd.length <= 0) return;
  size_t length = (size_t)pReq->cmnd.length;
  char *end = (char *)memchr(pReq->cmnd.space->buffer, '\n', length);
  size_t drop = end ? (size_t)(end - pReq->cmnd.space->buffer) + 1 : length;
  memmove(pReq->cmnd.space->buffer, pReq->cmnd.space->buffer + drop, length - drop);
  memset(pReq->cmnd.space->buffer + length - drop, 0, drop);
  pReq->cmnd.length = (int32_t)(length - drop);
  if (end) pReq->cmnd.discarding = false;
}

// Free command spaces kept however quiet the server is, for the next
// busy sessions; beyond them the pool keeps what its busiest moment of the
// last second needed.
static const size_t kSpacesKept = 16;

bool HoldCommandSpace(Request *pReq) {
  if (pReq->cmnd.space) return true;
  BufferPool *pool = &pReq->pConfig->cmndSpaces;
  if (pool->blockSize == 0) InitBufferPool(pool, sizeof(CommandSpace), kSpacesKept);
  void *block = BorrowBlock(pool);
  if (!block) return false;
  // The buffer's last byte stays zero, and the parser and the replies
  // count on the zeroes behind what they hold.
  pReq->cmnd.space = static_cast<CommandSpace *>(memset(block, 0, sizeof(CommandSpace)));
  return true;
}

void ReturnIdleCommandSpace(Request *pReq) {
  const CmndChannel &c = pReq->cmnd;
  if (!c.space || c.state != kCmndReceiving || c.length != 0 || c.pendingLength != 0 || c.longReply)
    return;
  DropCommandSpace(pReq);
}

void DropCommandSpace(Request *pReq) {
  if (!pReq->cmnd.space) return;
  GiveBackBlock(&pReq->pConfig->cmndSpaces, pReq->cmnd.space);
  pReq->cmnd.space = nullptr;
  pReq->cmnd.length = 0;
  pReq->cmnd.pendingLength = 0;
}

int OnReadCmnd(Request *pReq) {
  if (pReq->cmnd.length >= kMaxLine) return 0;
  if (!HoldCommandSpace(pReq)) return -1;
  char *into = pReq->cmnd.space->buffer + pReq->cmnd.length;
  ssize_t n = ConnRead(&pReq->cmnd.io, into, (size_t)(kMaxLine - pReq->cmnd.length));
  if (n > 0) {
    pReq->bytesReceived += (uint64_t)n;
    size_t kept = StripTelnet(pReq, into, (size_t)n);
    memset(into + kept, 0, (size_t)n - kept);
    pReq->cmnd.length += (int32_t)kept;
    DropRefusedRest(pReq);
    return 0;
  }
  if (n == 0) return -1;
  return n == kConnWait ? 0 : -1;
}

// Puts bytes in front of those already waiting behind the current line:
// they were received earlier, so they run first.
static void KeepInput(Request *pReq, const char *bytes, size_t n) {
  size_t waiting = (size_t)pReq->cmnd.pendingLength;
  if (n == 0) return;
  // Both pieces came out of one command buffer and are never more than it
  // held together; the bound only guards the copy.
  if (n + waiting > sizeof pReq->cmnd.space->pending)
    n = sizeof pReq->cmnd.space->pending - waiting;
  memmove(pReq->cmnd.space->pending + n, pReq->cmnd.space->pending, waiting);
  memcpy(pReq->cmnd.space->pending, bytes, n);
  pReq->cmnd.pendingLength = (int32_t)(n + waiting);
}

bool CommandLineWaits(const Request *pReq) {
  if (pReq->cmnd.state != kCmndReceiving || !pReq->cmnd.space) return false;
  return pReq->cmnd.length >= kMaxLine ||
         memchr(pReq->cmnd.space->buffer, '\n', (size_t)pReq->cmnd.length) != nullptr;
}

int ParseFTPstring(Request *pReq) {
  if (!pReq->cmnd.space) return -1;  // nothing received
  int32_t length = pReq->cmnd.length;
  if (length < 0) length = 0;
  if (length > kMaxLine) length = kMaxLine;

  char *end = (char *)memchr(pReq->cmnd.space->buffer, '\n', (size_t)length);
  if (!end) {
    // A full buffer without a line end can never become a line: refuse it
    // like any other bad line instead of leaving the session deaf, and drop
    // the rest of it as it comes.
    if (length == kMaxLine) {
      pReq->cmnd.discarding = true;
      pReq->cmnd.state = kCmndEmpty;
      SendFTPstring(pReq, Mess500);
    }
    return -1;
  }
  // Whatever follows this line is the client's next command: it waits
  // until this one has been answered.
  int32_t lineLength = (int32_t)(end - pReq->cmnd.space->buffer) + 1;
  KeepInput(pReq, pReq->cmnd.space->buffer + lineLength, (size_t)(length - lineLength));
  memset(pReq->cmnd.space->buffer + lineLength, 0,
         sizeof pReq->cmnd.space->buffer - (size_t)lineLength);
  pReq->cmnd.length = lineLength;
  // The line is taken: a reply may now replace it in the buffer.
  pReq->cmnd.state = kCmndEmpty;

  char line[kCmndBufferSize];
  memcpy(line, pReq->cmnd.space->buffer, sizeof line);
  line[kMaxLine] = '\0';
  char *lf = line + lineLength - 1;
  char *cr = (char *)memchr(line, '\r', (size_t)lineLength);
  // A line must end in CR LF. A line ended by a bare line feed is refused:
  // let through, it would carry a line feed into the argument, and from
  // there into names on disk, listings and replies.
  if (!cr || lf < cr) {
    SendFTPstring(pReq, Mess500);
    return -1;
  }
  *cr = '\0';
  // The argument is looked for within the line only: bytes of a following
  // line never become the argument of this one.
  char *space = (char *)memchr(line, ' ', (size_t)(cr - line));
  const char *arg = nullptr;
  if (space) {
    *space = '\0';
    arg = space + 1;
  }
  memset(pReq->cmnd.space->command, 0, sizeof pReq->cmnd.space->command);
  memset(pReq->cmnd.space->argument, 0, sizeof pReq->cmnd.space->argument);
  size_t wordLength = strlen(line);
  if (wordLength >= sizeof pReq->cmnd.space->command) {
    SendFTPstring(pReq, Mess500);
    return -1;
  }
  memcpy(pReq->cmnd.space->command, line, wordLength);
  if (arg) {
    size_t argLength = strlen(arg);
    if (argLength >= sizeof pReq->cmnd.space->argument) {
      SendFTPstring(pReq, Mess500);
      return -1;
    }
    memcpy(pReq->cmnd.space->argument, arg, argLength);
  }
  LogReceivedLine(pReq, arg != nullptr);
  return 0;
}

int TranslateCommand(const char *word) {
  for (int code = 0; code < kWordCount; code++)
    if (kCommandWords[code] && strcasecmp(word, kCommandWords[code]) == 0)
      return code;
  for (const auto &alias : kAliases)
    if (strcasecmp(word, alias.word) == 0) return alias.code;
  return -1;
}

int SendFTPstring(Request *pReq, const char *text) {
  // One reply at a time: a second one for the same command is dropped.
  if (pReq->cmnd.length != 0 && pReq->cmnd.state == kCmndQueued) return -1;
  if (!HoldCommandSpace(pReq)) return -1;
  // Part of a command line still being received (a transfer ends while the
  // client types): it waits with the other early bytes, nothing is lost.
  if (pReq->cmnd.state == kCmndReceiving && pReq->cmnd.length > 0)
    KeepInput(pReq, pReq->cmnd.space->buffer, (size_t)pReq->cmnd.length);
  memset(pReq->cmnd.space->buffer, 0, sizeof pReq->cmnd.space->buffer);
  pReq->cmnd.length = 0;
  pReq->cmnd.state = kCmndEmpty;
  // Replies are written with line feeds; on the wire every line ends in
  // CR LF.
  size_t n = 0;
  for (const char *p = text; *p; p++) {
    bool bareLf = *p == '\n' && (p == text || p[-1] != '\r');
    if (n + (bareLf ? 2 : 1) >= sizeof pReq->cmnd.space->buffer) {
      memset(pReq->cmnd.space->buffer, 0, sizeof pReq->cmnd.space->buffer);
      return -1;
    }
    if (bareLf) pReq->cmnd.space->buffer[n++] = '\r';
    pReq->cmnd.space->buffer[n++] = *p;
  }
  pReq->cmnd.length = (int32_t)n;
  pReq->cmnd.state = kCmndQueued;
  LogQueuedReply(pReq, text);
  return 0;
}

bool ReplyFits(const char *text) {
  size_t n = 0;
  for (const char *p = text; *p; p++) n += *p == '\n' ? 2 : 1;
  return n < kCmndBufferSize;
}

char *BorrowReplyBlock(Request *pReq) {
  BufferPool *pool = &pReq->pConfig->replyBlocks;
  // Long replies are rare: two blocks stay for the next ones.
  if (pool->blockSize == 0) InitBufferPool(pool, kReplyBlockSize, 2);
  return static_cast<char *>(BorrowBlock(pool));
}

int SendLongReply(Request *pReq, char *block, size_t n) {
  if ((pReq->cmnd.length != 0 && pReq->cmnd.state == kCmndQueued) || pReq->cmnd.longReply ||
      !HoldCommandSpace(pReq)) {
    GiveBackBlock(&pReq->pConfig->replyBlocks, block);
    return -1;
  }
  if (pReq->cmnd.state == kCmndReceiving && pReq->cmnd.length > 0)
    KeepInput(pReq, pReq->cmnd.space->buffer, (size_t)pReq->cmnd.length);
  memset(pReq->cmnd.space->buffer, 0, sizeof pReq->cmnd.space->buffer);
  pReq->cmnd.longReply = block;
  pReq->cmnd.longSent = 0;
  pReq->cmnd.length = (int32_t)n;
  pReq->cmnd.state = kCmndQueued;
  // The log keeps the first line.
  char first[kCmndBufferSize];
  const char *end = (const char *)memchr(block, '\r', n);
  snprintf(first, sizeof first, "%.*s\n", (int)(end ? end - block : 0), block);
  LogQueuedReply(pReq, first);
  return 0;
}

void DropLongReply(Request *pReq) {
  if (!pReq->cmnd.longReply) return;
  GiveBackBlock(&pReq->pConfig->replyBlocks, pReq->cmnd.longReply);
  pReq->cmnd.longReply = nullptr;
  pReq->cmnd.longSent = 0;
}

int OnWriteCmnd(Request *pReq) {
  if (pReq->cmnd.length <= 0) return 0;
  char *from =
      pReq->cmnd.longReply ? pReq->cmnd.longReply + pReq->cmnd.longSent : pReq->cmnd.space->buffer;
  struct iovec reply = {from, (size_t)pReq->cmnd.length};
  ssize_t n = ConnWrite(&pReq->cmnd.io, &reply, 1);
  if (n > 0 && pReq->cmnd.longReply) {
    pReq->cmnd.length -= (int32_t)n;
    pReq->bytesSent += (uint64_t)n;
    pReq->cmnd.longSent += (int32_t)n;
    if (pReq->cmnd.length == 0) {
      DropLongReply(pReq);
      RecvFTPstring(pReq);
    }
    return 0;
  }
  if (n > 0) {
    pReq->cmnd.length -= (int32_t)n;
    pReq->bytesSent += (uint64_t)n;
    memmove(pReq->cmnd.space->buffer, pReq->cmnd.space->buffer + n, (size_t)pReq->cmnd.length);
    memset(pReq->cmnd.space->buffer + pReq->cmnd.length, 0,
           sizeof pReq->cmnd.space->buffer - (size_t)pReq->cmnd.length);
    if (pReq->cmnd.length == 0) RecvFTPstring(pReq);
    return 0;
  }
  if (n == 0) return 0;
  // Any other error ends the session: retrying a dead socket would spin.
  return n == kConnWait ? 0 : -1;
}

void RecvFTPstring(Request *pReq) {
  pReq->cmnd.length = 0;
  pReq->cmnd.state = kCmndReceiving;
  if (!pReq->cmnd.space) return;  // nothing held, nothing waiting
  memset(pReq->cmnd.space->buffer, 0, sizeof pReq->cmnd.space->buffer);
  // The commands that came early are received now, in their order.
  size_t n = (size_t)pReq->cmnd.pendingLength;
  if (n > (size_t)kMaxLine) n = (size_t)kMaxLine;
  memcpy(pReq->cmnd.space->buffer, pReq->cmnd.space->pending, n);
  pReq->cmnd.length = (int32_t)n;
  memmove(pReq->cmnd.space->pending, pReq->cmnd.space->pending + n,
          (size_t)pReq->cmnd.pendingLength - n);
  pReq->cmnd.pendingLength -= (int32_t)n;
  DropRefusedRest(pReq);
}

int IfCmndSend(Request *pReq) {
  return pReq->cmnd.state == kCmndQueued && pReq->cmnd.length != 0 ? 0 : -1;
}

int IfCmndRecv(Request *pReq) {
  if (pReq->cmnd.state == kCmndReceiving ||
      (pReq->cmnd.state == kCmndEmpty && pReq->cmnd.length < kCmndBufferSize)) {
    pReq->cmnd.state = kCmndReceiving;
    return 0;
  }
  return -1;
}
