#include "command_log.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "rotating_log.h"
#include "string_helpers.h"

static const char kReceivedWithArgument[] = ">%s [%-15s] %s: %s %s\n";
static const char kReceivedWithoutArgument[] = ">%s [%-15s] %s: %s\n";
static const char kQueuedReply[] = "<%s [%-15s] %s: %s";
// Passwords never reach the log.
static const char kHiddenPassword[] = "****";

// Whatever a client sends, one entry stays one line: control bytes are
// written escaped. Fields are at most 511 characters, 4 bytes each escaped.
static char escapedCommand[kCommandSize * 4];
static char escapedText[kArgumentSize * 4];

static FILE *Begin(Request *pReq, char *date) {
  Log *log = pReq->pConfig ? pReq->pConfig->log : nullptr;
  if (!log) return nullptr;
  // Each line carries the moment it was written; the loop's flush timer
  // brings it to the file within a second.
  return LogBegin(log, time(nullptr), date);
}

// PASS, also when wrapped in SITE (SITE PASS x, SITE SITE PASS x).
static bool CarriesPassword(const char *command, const char *argument) {
  if (strcasecmp(command, "PASS") == 0) return true;
  if (strcasecmp(command, "SITE") != 0) return false;
  for (const char *p = argument;;) {
    if (strncasecmp(p, "PASS", 4) == 0 && (p[4] == ' ' || p[4] == '\0'))
      return true;
    if (strncasecmp(p, "SITE ", 5) != 0) return false;
    p += 5;
  }
}

void LogReceivedLine(Request *pReq, bool hasArgument) {
  char date[32];
  FILE *out = Begin(pReq, date);
  if (!out) return;
  LogEscape(escapedCommand, sizeof escapedCommand, pReq->cmnd.space->command);
  if (hasArgument) {
    const char *arg = CarriesPassword(pReq->cmnd.space->command, pReq->cmnd.space->argument)
                          ? kHiddenPassword
                          : LogEscape(escapedText, sizeof escapedText, pReq->cmnd.space->argument);
    fprintf(out, kReceivedWithArgument, date, pReq->clientAddress.text, pReq->login.userName,
            escapedCommand, arg);
  } else {
    fprintf(out, kReceivedWithoutArgument, date, pReq->clientAddress.text, pReq->login.userName,
            escapedCommand);
  }
}

void LogQueuedReply(Request *pReq, const char *reply) {
  char date[32];
  FILE *out = Begin(pReq, date);
  if (!out) return;
  // The reply brings its own line feed; anything else below 0x20 in it
  // (an echoed directory name) is escaped.
  size_t n = strlen(reply);
  bool lf = n > 0 && reply[n - 1] == '\n';
  char body[kCmndBufferSize];
  snprintf(body, sizeof body, "%.*s", (int)(lf ? n - 1 : n), reply);
  LogEscape(escapedText, sizeof escapedText, body);
  fprintf(out, kQueuedReply, date, pReq->clientAddress.text, pReq->login.userName, escapedText);
  fputs("\n", out);
}

void LogRefusal(Server *pConfig, const char *address, const char *reply) {
  char date[32];
  FILE *out = pConfig->log ? LogBegin(pConfig->log, time(nullptr), date) : nullptr;
  if (!out) return;
  // The reply's own line end is left out, as for every logged reply.
  fprintf(out, kQueuedReply, date, address, "", "");
  fprintf(out, "%.*s\n", (int)strcspn(reply, "\r\n"), reply);
}
