#include "sessions.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/select.h>
#include <unistd.h>

#include "client_limits.h"
#include "quota_records.h"
#include "upload_files.h"
#include "command_channel.h"
#include "event_loop.h"
#include "session_io.h"
#include "sockets.h"

// The lowest number from 1 that no live session holds. The passive data
// port is derived from it, so two live sessions never share a port.
static int32_t FreeSessionId(const Server *pConfig) {
  for (int32_t id = 1;; id++) {
    bool taken = false;
    for (const Request *r = pConfig->requests; r; r = r->next)
      if (r->ID == id) {
        taken = true;
        break;
      }
    if (!taken) return id;
  }
}

Request *AddRequest(int sock, Server *pConfig, const char *clientAddress) {
  Request *pReq = (Request *)calloc(1, sizeof(Request));
  if (!pReq) return nullptr;
  pReq->ID = FreeSessionId(pConfig);
  Request **tail = &pConfig->requests;
  while (*tail) tail = &(*tail)->next;
  *tail = pReq;
  pConfig->users++;
  CountClient(&pConfig->limits, clientAddress);

  pReq->pConfig = pConfig;
  pReq->cmndSocket = sock;
  pReq->DataSocket = -1;
  pReq->xferSocket = -1;
  pReq->dataFile = -1;
  pReq->cmndState = kCmndEmpty;
  pReq->dataState = kDataIdle;
  pReq->connectTime = time(nullptr);
  pReq->DataPort = (int32_t)pConfig->DataPort + pReq->ID - 1;
  pReq->passiveMode = '1';
  pReq->binaryMode = '1';
  pReq->closeIfIdle = '0';
  pReq->tlsCommand = pReq->pbszGiven = pReq->protPrivate = '0';
  snprintf(pReq->cwd, sizeof pReq->cwd, "/");
  snprintf(pReq->ipAddress, sizeof pReq->ipAddress, "%s", clientAddress);
  // A text that is no address leaves the family unset: no data connection
  // is then ever taken as the client's.
  AddressFromText(clientAddress, 0, &pReq->clientAddress);
  static const int kAlwaysAllowed[] = {kSYST, kQUIT, kPWD,  kUSER,
                                       kPASS, kABOR, kNOOP, kREST};
  for (int code : kAlwaysAllowed) pReq->permissions[code] = '1';
  return pReq;
}

int SocketRoom(const Server *pConfig) {
  return pConfig->loop ? EventLoopSize(pConfig->loop) : FD_SETSIZE;
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
  free(pReq);
}

void DelAllRequests(Request **head) {
  Request *r = *head;
  while (r) {
    Request *next = r->next;
    free(r);
    r = next;
  }
  *head = nullptr;
}

void CloseCmndConnection(Request *pReq) { CloseCmnd(pReq); }

void CloseXferConnection(Request *pReq) { CloseXfer(pReq); }

void CloseDataConnection(Request *pReq) {
  ForgetSocket(pReq, pReq->DataSocket);
  CloseConnection(pReq->DataSocket);
  pReq->DataSocket = -1;
  pReq->passiveMode = '1';
  CloseXferConnection(pReq);
}

void CloseDataBuffer(Request *pReq) {
  pReq->dataLength = 0;
  pReq->dataState = kDataIdle;
  memset(pReq->dataBuffer, 0, sizeof pReq->dataBuffer);
}

void CloseDataFile(Request *pReq) {
  // An upload closed before its good end leaves the old file as it was.
  AbortUpload(pReq);
  if (pReq->dataFile != -1) close(pReq->dataFile);
  pReq->dataFile = -1;
}

Request *CloseRequest(Request *pReq) {
  if (!pReq) return nullptr;
  free(pReq->renameFrom);
  free(pReq->renameTo);
  pReq->renameFrom = nullptr;
  pReq->renameTo = nullptr;
  // A session that ends during an upload ends the upload normally, as a
  // closed data connection would: what arrived is kept.
  FinishUpload(pReq);
  CloseDataFile(pReq);
  DetachQuota(pReq);  // the last session of the account writes it
  CloseXferConnection(pReq);
  CloseDataConnection(pReq);
  CloseCmndConnection(pReq);
  // A session that ends in the middle of a listing must not keep the
  // directory open.
  if (pReq->dirHandle) closedir(pReq->dirHandle);
  pReq->dirHandle = nullptr;
  Request *next = GetNextRequest(pReq);
  Server *pConfig = pReq->pConfig;
  if (pConfig->loop) {
    // The record is freed below: no timer may find it afterwards.
    int64_t *timers[] = {&pReq->idleTimer, &pReq->loginTimer,
                         &pReq->replyTimer, &pReq->wakeTimer};
    for (int64_t *t : timers)
      if (*t > 0) DeleteTimer(pConfig->loop, *t);
  }
  pConfig->users--;
  UncountClient(&pConfig->limits, pReq->ipAddress);
  DelRequest(&pConfig->requests, pReq);
  return next;
}

int IfCmndSend(Request *pReq) {
  return pReq->cmndState == kCmndQueued && pReq->cmndLength != 0 ? 0 : -1;
}

int IfCmndRecv(Request *pReq) {
  if (pReq->cmndState == kCmndReceiving ||
      (pReq->cmndState == kCmndEmpty && pReq->cmndLength < kCmndBufferSize)) {
    pReq->cmndState = kCmndReceiving;
    return 0;
  }
  return -1;
}

int IfDataSend(Request *pReq) {
  return pReq->dataState == kDataSending && pReq->xferSocket != -1 ? 0 : -1;
}

int IfDataRecv(Request *pReq) {
  return pReq->dataState == kDataReceiving && pReq->xferSocket != -1 &&
                 pReq->dataLength < kDataBufferSize
             ? 0
             : -1;
}

int IfAcceptXfer(Request *pReq) {
  return pReq->DataSocket != -1 && pReq->xferSocket == -1 ? 0 : -1;
}
