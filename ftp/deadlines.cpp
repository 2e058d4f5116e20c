#include "deadlines.h"

#include <ctime>

#include "address_limits.h"
#include "command_channel.h"
#include "sessions.h"

int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static bool LoggedIn(const Request *pReq) {
  return pReq->permissions[kUSER] == '0' && pReq->permissions[kPASS] == '0';
}

void HoldFailedLogin(Request *pReq) {
  RecordFailedLogin(pReq->ipAddress, time(nullptr));
  pReq->replyDueMs = NowMs() + kFailedLoginDelayMs;
}

bool ReplyHeld(const Request *pReq) { return pReq->replyDueMs != 0; }

// The second is over: the held reply goes out (one attempt, as for any
// parting reply) and the session ends. Returns the session that followed.
static Request *OnLoginDelayOver(Request *pReq) {
  pReq->replyDueMs = 0;
  OnWriteCmnd(pReq);
  return CloseRequest(pReq);
}

// Login time is counted from the connect, whatever the client sends
// meanwhile: trickling bytes do not buy more.
static bool LoginTimeOver(const Request *pReq, time_t now) {
  if (LoggedIn(pReq) || ReplyHeld(pReq)) return false;
  int32_t limit = pReq->pConfig->TimeoutTime;
  if (limit <= 0) limit = kLoginTimeFallback;
  return now - pReq->connectTime >= limit;
}

void CheckDeadlines(Server *pConfig) {
  int64_t nowMs = NowMs();
  time_t now = time(nullptr);
  Request *r = GetFirstRequest(pConfig->requests);
  while (r) {
    if (ReplyHeld(r) && nowMs >= r->replyDueMs)
      r = OnLoginDelayOver(r);
    else if (LoginTimeOver(r, now))
      r = CloseRequest(r);
    else
      r = GetNextRequest(r);
  }
}

void DeadlineTimeout(const Server *pConfig, struct timeval *timeout) {
  int64_t nowMs = NowMs();
  int64_t wait = (int64_t)timeout->tv_sec * 1000 + timeout->tv_usec / 1000;
  for (const Request *r = pConfig->requests; r; r = r->next) {
    if (!ReplyHeld(r)) continue;
    int64_t left = r->replyDueMs - nowMs;
    if (left < 0) left = 0;
    if (left < wait) wait = left;
  }
  timeout->tv_sec = (time_t)(wait / 1000);
  timeout->tv_usec = (suseconds_t)(wait % 1000 * 1000);
}
