#include "status_commands.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>

#include "command_channel.h"
#include "listing.h"
#include "rooted_files.h"
#include "virtual_paths.h"

namespace {

// Every reply has to fit the one command buffer (256 bytes with its CR LF
// line ends): the status says the essentials, HELP names the words.
const char kStatus[] =
    "211-Status of %.15s:\n"
    " User %.31s, TYPE %s, MODE S, STRU F\n"
    " Data connection: %s\n"
    "%s"
    "211 End of status.\n";
const char kProgress[] = " Transfer running: %" PRIu64 " bytes sent, %" PRIu64 " received\n";
const char kPathStatus[] = "213-Status of %s:\n%s213 End of status.\n";
// The same reply for a directory, written straight into a reply block.
const char kPathStatusStart[] = "213-Status of %s:\r\n";
const char kPathStatusEnd[] = "213 End of status.\r\n";
const char kHelp[] =
    "214-Commands recognized:\n"
    " ABOR ALLO APPE AUTH CDUP CWD DELE EPRT EPSV FEAT HELP LIST MDTM MFMT\n"
    " MKD MLSD MLST MODE NLST NOOP OPTS PASS PASV PBSZ PORT PROT PWD QUIT\n"
    " REST RETR RMD RNFR RNTO SITE SIZE STAT STOR STRU SYST TYPE USER\n"
    "214 Help OK.\n";
const char kHelpSite[] =
    "214-SITE commands recognized:\n"
    " CHMOD\n"
    "214 Help OK.\n";

const char *DataConnectionState(const Request *pReq) {
  if (pReq->xfer.io.fd != -1) return "open";
  if (pReq->xfer.listenSocket != -1) return pReq->xfer.passive ? "listening" : "connecting";
  return "none";
}

// STAT of a directory: the entries as LIST gives them (capped, see
// ListDirectoryLines), over the command connection in a borrowed block.
int StatDirectory(Request *pReq, const char *arg, const char *real) {
  char *block = BorrowReplyBlock(pReq);
  if (!block) {
    SendFTPstring(pReq, Mess451);
    return 451;
  }
  int head = snprintf(block, kReplyBlockSize, kPathStatusStart, arg);
  size_t tail = sizeof kPathStatusEnd - 1;
  int lines = head > 0 && (size_t)head + tail < kReplyBlockSize
                  ? ListDirectoryLines(pReq, real, block + head, kReplyBlockSize - head - tail)
                  : -1;
  if (lines < 0) {
    GiveBackBlock(&pReq->pConfig->replyBlocks, block);
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  size_t n = (size_t)head + (size_t)lines;
  memcpy(block + n, kPathStatusEnd, tail);
  SendLongReply(pReq, block, n + tail);
  return 213;
}

}  // namespace

int DoSTAT(Request *pReq) {
  const char *arg = pReq->cmnd.space->argument;
  char reply[2 * kCmndBufferSize];
  if (arg[0] == '\0') {
    char progress[kCmndBufferSize] = "";
    if (pReq->xfer.state != kDataIdle)
      snprintf(progress, sizeof progress, kProgress, pReq->bytesSent, pReq->bytesReceived);
    snprintf(reply, sizeof reply, kStatus, pReq->pConfig->serverName, pReq->login.userName,
             pReq->binaryMode == '1' ? "I" : "A", DataConnectionState(pReq), progress);
    SendFTPstring(pReq, ReplyFits(reply) ? reply : Mess550);
    return 211;
  }
  // STAT PATH: the listing of the entry, as LIST gives it, over the
  // command connection; granted with LIST.
  if (pReq->login.permissions[kLIST] != '1') {
    SendFTPstring(pReq, kPermissionDenied);
    return 550;
  }
  char real[kRealPathSize] = "";
  struct stat st;
  char line[kCmndBufferSize];
  const char *name = strrchr(arg, '/');
  name = name && name[1] ? name + 1 : arg;
  if (PathGuardsFail(arg) ||
      CreateAbsolutePath(real, sizeof real, pReq->login.root.c_str(), pReq->login.cwd.c_str(),
                         arg) != 0 ||
      RootedStat(pReq, real, &st) != 0 ||
      FormatListLine(line, sizeof line, name, st.st_mode, (uint64_t)st.st_size, st.st_mtime) == 0) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  if (S_ISDIR(st.st_mode)) return StatDirectory(pReq, arg, real);
  // The line ends in CR LF; a reply line starts with a blank.
  char indented[kCmndBufferSize + 1];
  snprintf(indented, sizeof indented, " %s", line);
  int n = snprintf(reply, sizeof reply, kPathStatus, arg, indented);
  if (n < 0 || (size_t)n >= sizeof reply || !ReplyFits(reply)) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  SendFTPstring(pReq, reply);
  return 213;
}

int DoHELP(Request *pReq) {
  SendFTPstring(pReq, strcasecmp(pReq->cmnd.space->argument, "SITE") == 0 ? kHelpSite : kHelp);
  return 214;
}
