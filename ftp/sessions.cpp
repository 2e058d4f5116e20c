#include "sessions.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "client_limits.h"
#include "command_channel.h"
#include "event_loop.h"
#include "passwords.h"
#include "quota_records.h"
#include "transfers.h"

Request *AddRequest(int sock, Server *pConfig, const char *clientAddress) {
  // Zeroed like every record, with its members constructed (the root).
  Request *pReq = new (std::nothrow) Request();
  if (!pReq) return nullptr;
  Request **tail = &pConfig->requests;
  while (*tail) tail = &(*tail)->next;
  *tail = pReq;
  pConfig->users++;
  CountClient(&pConfig->limits, clientAddress);

  pReq->pConfig = pConfig;
  pReq->cmnd = CmndChannel();
  ConnOpen(&pReq->cmnd.io, sock);
  pReq->xfer = XferChannel();
  pReq->login = LoginState();
  pReq->upload = UploadState();
  pReq->timers = SessionTimers();
  pReq->connectTime = time(nullptr);
  pReq->binaryMode = '1';
  pReq->login.cwd = "/";
  // A text that is no address leaves the family unset: no data connection
  // is then ever taken as the client's. The text stays as given.
  if (AddressFromText(clientAddress, 0, &pReq->clientAddress) != 0)
    snprintf(pReq->clientAddress.text, sizeof pReq->clientAddress.text, "%s", clientAddress);
  static const int kAlwaysAllowed[] = {kSYST, kQUIT, kPWD,  kUSER,
                                       kPASS, kABOR, kNOOP, kREST};
  for (int code : kAlwaysAllowed) pReq->login.permissions[code] = '1';
  return pReq;
}

Request *GetNextRequest(Request *pReq) { return pReq ? pReq->next : nullptr; }

void DelRequest(Request **head, Request *pReq) {
  if (!pReq) return;
  for (Request **link = head; *link; link = &(*link)->next) {
    if (*link == pReq) {
      *link = pReq->next;
      break;
    }
  }
  delete pReq;
}

void DelAllRequests(Request **head) {
  Request *r = *head;
  while (r) {
    Request *next = r->next;
    delete r;
    r = next;
  }
  *head = nullptr;
}

void CloseCmndConnection(Request *pReq) {
  // The loop forgets the socket before it is closed, so that a number the
  // system hands out again starts unwatched.
  if (pReq->cmnd.io.fd != -1 && pReq->pConfig->loop)
    UnwatchFd(pReq->pConfig->loop, pReq->cmnd.io.fd);
  ConnClose(&pReq->cmnd.io);
  pReq->cmnd.io.want = 0;
}

Request *CloseRequest(Request *pReq) {
  if (!pReq) return nullptr;
  free(pReq->renameFrom);
  free(pReq->renameTo);
  pReq->renameFrom = nullptr;
  pReq->renameTo = nullptr;
  // A hash check still running ends unanswered: the record goes below.
  ForgetPasswordCheck(pReq->login.check);
  pReq->login.check = nullptr;
  // Before the quota is given up: the transfer settles what it stored.
  EndSessionTransfer(pReq);
  DetachQuota(pReq);  // the last session of the account writes it
  CloseCmndConnection(pReq);
  DropLongReply(pReq);
  DropCommandSpace(pReq);
  Request *next = GetNextRequest(pReq);
  Server *pConfig = pReq->pConfig;
  if (pConfig->loop) {
    // The record is freed below: no timer may find it afterwards.
    int64_t *timers[] = {&pReq->timers.idle, &pReq->timers.login,
                         &pReq->timers.reply, &pReq->timers.wake};
    for (int64_t *t : timers)
      if (*t > 0) DeleteTimer(pConfig->loop, *t);
  }
  pConfig->users--;
  UncountClient(&pConfig->limits, pReq->clientAddress.text);
  DelRequest(&pConfig->requests, pReq);
  return next;
}
