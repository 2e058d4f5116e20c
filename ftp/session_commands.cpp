#include "session_commands.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "accounts.h"
#include "passwords.h"
#include "command_channel.h"
#include "quota_records.h"
#include "transfers.h"
#include "string_helpers.h"

static const char kUserMissing[] = "550 Can't process USER without argument.\n";
static const char kPassMissing[] = "550 Can't process PASS without argument.\n";
static const char kLoginIncorrect[] = "530 Login incorrect.\n";
static const char kWelcomeQuota[] =
    "230 Welcome! Disk usage is %lu (disk guota is %lu B).\n";
static const char kSystem[] = "215 UNIX (WIN32)\n";
static const char kNoop[] = "200 Zzzzz...\n";
static const char kPwd[] = "257 \"%.511s\" is current directory.\n";
static const char kTransferAborted[] = "426 Connection closed; transfer aborted.\n";
static const char kAbortDone[] = "226 Abort successful.\n";
static const char kAlloNeedless[] = "202 No storage allocation necessary.\n";
static const char kModeStream[] = "200 Mode set to S.\n";
static const char kStruFile[] = "200 Structure set to F.\n";
static const char kParameterRefused[] = "504 Command not implemented for that parameter.\n";
static const char kRestZero[] = "350 No argument supplied, assuming REST 0.\n";

// Length of "SITE" and the blank behind it.
static const int kSitePrefix = 5;

int DoUSER(Request *pReq) {
  if (pReq->cmnd.space->argument[0] == '\0') {
    SendFTPstring(pReq, kUserMissing);
    return 550;
  }
  // A name without a usable account is asked for a password like any
  // other, and that PASS is refused: a client cannot find out which names
  // exist.
  if (OpenAccount(pReq) != 0) {
    pReq->login.accountRefused = true;
    pReq->login.permissions[kUSER] = '0';
    SendFTPstring(pReq, Mess331);
    return 331;
  }
  pReq->login.permissions[kUSER] = '0';
  if (!pReq->login.passWord.empty()) {
    SendFTPstring(pReq, Mess331);
    return 331;
  }
  pReq->login.permissions[kPASS] = '0';
  SendFTPstring(pReq, Mess230);
  return 230;
}

int DoPASS(Request *pReq) {
  if (pReq->cmnd.space->argument[0] == '\0') {
    SendFTPstring(pReq, kPassMissing);
    return 550;
  }
  if (pReq->login.accountRefused) return FinishPASS(pReq, false);
  if (IsPasswordHash(pReq->login.passWord.c_str())) return kPasswordChecking;
  return FinishPASS(pReq,
                    PasswordMatches(pReq->cmnd.space->argument, pReq->login.passWord.c_str()));
}

int FinishPASS(Request *pReq, bool match) {
  if (!match) {
    // Whether the name or the password was wrong stays the server's secret.
    pReq->login.passwordRefused = true;
    SendFTPstring(pReq, kLoginIncorrect);
    return 530;
  }
  pReq->login.permissions[kPASS] = '0';
  // Judged once: a logged-in session keeps no password.
  std::string().swap(pReq->login.passWord);
  if (QuotaLimit(pReq) != 0) {
    char welcome[kCmndBufferSize];
    snprintf(welcome, sizeof welcome, kWelcomeQuota,
             (unsigned long)DiskUsage(pReq), (unsigned long)QuotaLimit(pReq));
    SendFTPstring(pReq, welcome);
  } else {
    SendFTPstring(pReq, Mess230);
  }
  return 230;
}

int DoSYST(Request *pReq) {
  SendFTPstring(pReq, kSystem);
  return 215;
}

int DoNOOP(Request *pReq) {
  SendFTPstring(pReq, kNoop);
  return 200;
}

int DoPWD(Request *pReq) {
  // Room for the longest directory: a deep one can outgrow the one-line
  // reply, which is then refused rather than cut.
  char reply[kCwdSize + sizeof kPwd];
  int n = snprintf(reply, sizeof reply, kPwd, pReq->login.cwd.c_str());
  if (n < 0 || !ReplyFits(reply)) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  SendFTPstring(pReq, reply);
  return 257;
}

int DoTYPE(Request *pReq) {
  const char *arg = pReq->cmnd.space->argument;
  if (strcasecmp(arg, "A") == 0 || strcasecmp(arg, "A N") == 0) {
    pReq->binaryMode = '0';
  } else if (strcasecmp(arg, "I") == 0 || strcasecmp(arg, "L 8") == 0) {
    pReq->binaryMode = '1';
  } else {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  SendFTPstring(pReq, Mess200);
  return 200;
}

int DoREST(Request *pReq) {
  const char *arg = pReq->cmnd.space->argument;
  pReq->restOffset = 0;
  if (arg[0] == '\0') {
    SendFTPstring(pReq, kRestZero);
    return 350;
  }
  int64_t offset = ParseLong(arg);
  if (offset == 0 && strcmp(arg, "0") != 0) {
    SendFTPstring(pReq, Mess550);  // not a number
    return 550;
  }
  pReq->restOffset = offset;
  SendFTPstring(pReq, Mess350);
  return 350;
}

int DoQUIT(Request *pReq) {
  SendFTPstring(pReq, Mess221);
  return 221;
}

int DoABOR(Request *pReq) {
  // A transfer cut short is reported as cut (426), so that no client takes
  // what it got for the whole file, and then the abort itself (226).
  bool running = pReq->xfer.state != kDataIdle;
  DropTransfer(pReq);
  if (!running) {
    SendFTPstring(pReq, Mess226);
    return 226;
  }
  SendFTPstring(pReq, kTransferAborted);
  pReq->cmnd.finalReply = kAbortDone;
  return 426;
}

int TakeSiteLine(Request *pReq) {
  // The received line is still in the command buffer: drop "SITE " and
  // parse the rest as a command line of its own.
  if (pReq->cmnd.length < kSitePrefix) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  memmove(pReq->cmnd.space->buffer, pReq->cmnd.space->buffer + kSitePrefix,
          sizeof pReq->cmnd.space->buffer - kSitePrefix);
  memset(pReq->cmnd.space->buffer + sizeof pReq->cmnd.space->buffer - kSitePrefix, 0, kSitePrefix);
  pReq->cmnd.length -= kSitePrefix;
  if (ParseFTPstring(pReq) == 0) return 0;
  if (pReq->cmnd.state == kCmndQueued) return 500;  // the parser's own reply
  SendFTPstring(pReq, Mess550);
  return 550;
}

int DoALLO(Request *pReq) {
  SendFTPstring(pReq, kAlloNeedless);
  return 202;
}

static int OnlyChoice(Request *pReq, const char *choice, const char *reply) {
  if (strcasecmp(pReq->cmnd.space->argument, choice) != 0) {
    SendFTPstring(pReq, kParameterRefused);
    return 504;
  }
  SendFTPstring(pReq, reply);
  return 200;
}

int DoMODE(Request *pReq) { return OnlyChoice(pReq, "S", kModeStream); }
int DoSTRU(Request *pReq) { return OnlyChoice(pReq, "F", kStruFile); }
