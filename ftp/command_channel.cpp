#include "command_channel.h"

#include <cerrno>
#include <cstring>
#include <strings.h>

#include "command_log.h"
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

// Command words by code; code 22 has no word.
static const char *const kCommandWords[kCommandCount] = {
    "CDUP", "SYST", "PASV", "QUIT", "PWD",  "USER", "PASS", "LIST", "ABOR",
    "CWD",  "TYPE", "MKD",  "DELE", "RMD",  "STOR", "RETR", "NOOP", "APPE",
    "PORT", "REST", "RNFR", "RNTO", nullptr, "MDTM", "SIZE", "SITE"};

// The last byte of the command buffer always stays zero.
static const int kMaxLine = kCmndBufferSize - 1;

int OnReadCmnd(Request *pReq) {
  if (pReq->cmndLength >= kMaxLine) return 0;
  ssize_t n = RecvBytes(pReq->cmndSocket, pReq->cmndBuffer + pReq->cmndLength,
                        (size_t)(kMaxLine - pReq->cmndLength));
  if (n > 0) {
    pReq->cmndLength += (int32_t)n;
    pReq->bytesReceived += (uint64_t)n;
    return 0;
  }
  if (n == 0) return -1;
  return WouldBlock(errno) ? 0 : -1;
}

int ParseFTPstring(Request *pReq) {
  int32_t length = pReq->cmndLength;
  if (length < 0) length = 0;
  if (length > kMaxLine) length = kMaxLine;
  char line[kCmndBufferSize];
  memcpy(line, pReq->cmndBuffer, sizeof line);
  line[kMaxLine] = '\0';

  char *lf = (char *)memchr(line, '\n', (size_t)length);
  if (!lf) {
    // A full buffer without a line end can never become a line: refuse it
    // like any other bad line instead of leaving the session deaf.
    if (length == kMaxLine) SendFTPstring(pReq, Mess500);
    return -1;
  }
  char *cr = (char *)memchr(line, '\r', (size_t)length);
  // A line must end in CR LF. A bare line feed before the first CR ends a
  // line of its own: let through, it would carry a line feed into the
  // argument, and from there into names on disk, listings and replies
  // (PWD would answer in two lines).
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
  memset(pReq->command, 0, sizeof pReq->command);
  memset(pReq->argument, 0, sizeof pReq->argument);
  size_t wordLength = strlen(line);
  if (wordLength >= sizeof pReq->command) {
    SendFTPstring(pReq, Mess500);
    return -1;
  }
  memcpy(pReq->command, line, wordLength);
  if (arg) {
    size_t argLength = strlen(arg);
    if (argLength >= sizeof pReq->argument) {
      SendFTPstring(pReq, Mess500);
      return -1;
    }
    memcpy(pReq->argument, arg, argLength);
  }
  LogReceivedLine(pReq, arg != nullptr);
  return 0;
}

int TranslateCommand(const char *word) {
  for (int code = 0; code < kCommandCount; code++)
    if (kCommandWords[code] && strcasecmp(word, kCommandWords[code]) == 0)
      return code;
  return -1;
}

int SendFTPstring(Request *pReq, const char *text) {
  // One reply at a time: a second one for the same command is dropped.
  if (pReq->cmndLength != 0 && pReq->cmndState == kCmndQueued) return -1;
  memset(pReq->cmndBuffer, 0, sizeof pReq->cmndBuffer);
  pReq->cmndLength = 0;
  pReq->cmndState = kCmndEmpty;
  size_t n = strlen(text);
  if (n >= sizeof pReq->cmndBuffer) return -1;
  memcpy(pReq->cmndBuffer, text, n);
  pReq->cmndLength = (int32_t)n;
  pReq->cmndState = kCmndQueued;
  LogQueuedReply(pReq, text);
  return 0;
}

int OnWriteCmnd(Request *pReq) {
  if (pReq->cmndLength <= 0) return 0;
  ssize_t n = SendBytes(pReq->cmndSocket, pReq->cmndBuffer,
                        (size_t)pReq->cmndLength);
  if (n > 0) {
    pReq->cmndLength -= (int32_t)n;
    pReq->bytesSent += (uint64_t)n;
    memmove(pReq->cmndBuffer, pReq->cmndBuffer + n, (size_t)pReq->cmndLength);
    memset(pReq->cmndBuffer + pReq->cmndLength, 0,
           sizeof pReq->cmndBuffer - (size_t)pReq->cmndLength);
    if (pReq->cmndLength == 0) RecvFTPstring(pReq);
    return 0;
  }
  if (n == 0) return 0;
  // Any other error ends the session: retrying a dead socket would spin.
  return WouldBlock(errno) ? 0 : -1;
}

void RecvFTPstring(Request *pReq) {
  memset(pReq->cmndBuffer, 0, sizeof pReq->cmndBuffer);
  pReq->cmndLength = 0;
  pReq->cmndState = kCmndReceiving;
}
