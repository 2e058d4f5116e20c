#include "network.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "client_limits.h"
#include "clock.h"
#include "sessions.h"
#include "sockets.h"
#include "startup.h"
#include "tls.h"

static const char kRefused[] = "Connection refused (out of memory?).\n";
static const char kTooManyConnections[] =
    "421 Too many connections from your address.\r\n";
static const char kTooManyFailures[] = "421 Too many failed logins, try later.\r\n";

int InitNet(Server *pConfig) {
  if (ResolveAutoAddress(pConfig->Address, sizeof pConfig->Address, false) != 0)
    return -1;
  pConfig->listenSocket =
      ListenWithMessages(pConfig->Address, pConfig->Port, pConfig->backlog);
  if (pConfig->listenSocket < 0) return -1;
  if (strcmp(pConfig->ExternIP, "AUTO") == 0)
    snprintf(pConfig->ExternIP, sizeof pConfig->ExternIP, "%s", pConfig->Address);
  return 0;
}

void CloseServer(Server *pConfig) {
  CloseConnection(pConfig->listenSocket);
  pConfig->listenSocket = -1;
  DelAllRequests(&pConfig->requests);
  TlsFreeContext(pConfig->tlsContext);
  pConfig->tlsContext = nullptr;
}

static bool Refuse(int sock, const char *line) {
  // One attempt: a client that does not take the line loses nothing.
  SendBytes(sock, line, strlen(line));
  CloseConnection(sock);
  return true;
}

bool RefusedAtAccept(Server *pConfig, int sock, const char *address) {
  ClientLimits *limits = &pConfig->limits;
  if (LockedOut(limits, address, NowMs())) return Refuse(sock, kTooManyFailures);
  if (ClientHeld(limits, address) >= limits->maxPerAddress)
    return Refuse(sock, kTooManyConnections);
  return false;
}

void OnAcceptFailed(Server *pConfig) {
  // The waiting client stays in the listen queue: trying again at once
  // would only make the loop spin.
  RestListener(pConfig->loop, &pConfig->limits);
  time_t now = time(nullptr);
  if (now == pConfig->refusedPrinted) return;
  pConfig->refusedPrinted = now;
  fputs(kRefused, stderr);
}
