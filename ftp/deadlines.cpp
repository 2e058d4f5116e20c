#include "deadlines.h"

#include <ctime>

#include "client_limits.h"
#include "command_channel.h"
#include "event_loop.h"
#include "sessions.h"

static bool LoggedIn(const Request *pReq) {
  return pReq->login.permissions[kUSER] == '0' && pReq->login.permissions[kPASS] == '0';
}

// The second is over: the held reply goes out (one attempt, as for any
// parting reply) and the session ends.
static void OnReplyDue(EventLoop *, int64_t, void *record) {
  Request *pReq = static_cast<Request *>(record);
  pReq->timers.reply = 0;
  pReq->timers.replyDueMs = 0;
  OnWriteCmnd(pReq);
  CloseRequest(pReq);
}

void HoldFailedLogin(Request *pReq) {
  // The PASS argument is still the command's: nothing is read meanwhile.
  pReq->timers.replyDueMs = HoldRefusal(&pReq->pConfig->limits, pReq->clientAddress.text,
                                        GuessOf(pReq->login.userName, pReq->cmnd.space->argument));
  EventLoop *loop = pReq->pConfig->loop;
  if (loop && pReq->timers.reply == 0)
    pReq->timers.reply = AddTimer(loop, kFailedLoginDelayMs, OnReplyDue, pReq);
}

bool ReplyHeld(const Request *pReq) { return pReq->timers.replyDueMs != 0; }

// Login time is counted from the connect, whatever the client sends
// meanwhile: trickling bytes do not buy more. A session whose failed login
// is being answered ends with that reply instead.
static void OnLoginTimeOver(EventLoop *, int64_t, void *record) {
  Request *pReq = static_cast<Request *>(record);
  pReq->timers.login = 0;
  if (LoggedIn(pReq) || ReplyHeld(pReq)) return;
  CloseRequest(pReq);
}

static int32_t IdleLimit(const Request *pReq) { return pReq->pConfig->TimeoutTime; }

static void OnIdleCheck(EventLoop *loop, int64_t, void *record) {
  Request *r = static_cast<Request *>(record);
  r->timers.idle = 0;
  time_t now = time(nullptr);
  uint64_t total = r->bytesSent + r->bytesReceived;
  // Until login completes no account speaks for the session: a client
  // that connects and stays silent must not hold its slot for ever.
  bool exempt = LoggedIn(r) && r->login.closeIfIdle == '0';
  if (!exempt && total == r->timers.idleMark && now - r->timers.lastActive > IdleLimit(r)) {
    CloseRequest(r);
    return;
  }
  if (total != r->timers.idleMark) r->timers.lastActive = now;
  r->timers.idleMark = total;
  // Next look when the session could first count as idle.
  int64_t wait = ((int64_t)r->timers.lastActive + IdleLimit(r) + 1 - now) * 1000;
  if (wait < 1000) wait = 1000;
  int64_t id = AddTimer(loop, wait, OnIdleCheck, r);
  r->timers.idle = id > 0 ? id : 0;
}

void StopLoginClock(Request *pReq) {
  EventLoop *loop = pReq->pConfig->loop;
  if (loop && pReq->timers.login > 0) DeleteTimer(loop, pReq->timers.login);
  pReq->timers.login = 0;
}

void StartSessionClocks(Request *pReq) {
  EventLoop *loop = pReq->pConfig->loop;
  if (!loop) return;
  int32_t limit = IdleLimit(pReq);
  int32_t loginLimit = limit > 0 ? limit : kLoginTimeFallback;
  int64_t id = AddTimer(loop, (int64_t)loginLimit * 1000, OnLoginTimeOver, pReq);
  pReq->timers.login = id > 0 ? id : 0;
  if (limit <= 0) return;
  id = AddTimer(loop, ((int64_t)limit + 1) * 1000, OnIdleCheck, pReq);
  pReq->timers.idle = id > 0 ? id : 0;
}
