#include "network.h"

#include "rotating_log.h"
#include "server_config.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "client_limits.h"
#include "clock.h"
#include "command_log.h"
#include "sessions.h"
#include "sockets.h"
#include "startup.h"
#include "tls.h"

static const char kRefused[] = "Connection refused (out of memory?).\n";
static const char kTooManyConnections[] =
    "421 Too many connections from your address.\r\n";
static const char kTooManyFailures[] = "421 Too many failed logins, try later.\r\n";
static const char kExternUnresolved[] =
    "ExternIP %s could not be resolved to an IPv4 address.\n";
static const char kExternKept[] = "ExternIP stays %s.\n";
static const char kReloaded[] = "Configuration %s reloaded.\n";
static const char kReloadFailed[] =
    "Configuration %s is faulty; the running configuration is kept.\n";
static const char kUsersNeedRestart[] =
    "MaxUsers=%u needs a restart; using MaxUsers=%u until then.\n";

static int ResolveExternHost(Server *pConfig);

int InitNet(Server *pConfig) {
  if (ResolveAutoAddress(pConfig->Address, sizeof pConfig->Address, false) != 0)
    return -1;
  pConfig->listenSocket =
      ListenWithMessages(pConfig->Address, pConfig->Port, pConfig->backlog);
  if (pConfig->listenSocket < 0) return -1;
  if (pConfig->TLSImplicitPort != 0) {
    pConfig->implicitSocket =
        ListenWithMessages(pConfig->Address, pConfig->TLSImplicitPort, pConfig->backlog);
    if (pConfig->implicitSocket < 0) return -1;
  }
  if (strcmp(pConfig->ExternIP, "AUTO") == 0)
    snprintf(pConfig->ExternIP, sizeof pConfig->ExternIP, "%s", pConfig->Address);
  return ResolveExternHost(pConfig);
}

// ExternIP= given as a host name: its IPv4 address now.
static int ResolveExternHost(Server *pConfig) {
  if (pConfig->ExternHost[0] == '\0') return 0;
  if (ResolveIPv4(pConfig->ExternHost, pConfig->ExternIP, sizeof pConfig->ExternIP) == 0)
    return 0;
  fprintf(stderr, kExternUnresolved, pConfig->ExternHost);
  return -1;
}

// The look-up a reload started: applied unless a later reload has named
// another host (or an address) meanwhile; a name without an address keeps
// the one in force.
static void OnExternHostAnswered(void *owner, const char *name, const char *address) {
  Server *pConfig = static_cast<Server *>(owner);
  if (strcmp(pConfig->ExternHost, name) != 0) return;
  if (!address) {
    fprintf(stderr, kExternUnresolved, name);
    fprintf(stderr, kExternKept, pConfig->ExternIP);
    return;
  }
  snprintf(pConfig->ExternIP, sizeof pConfig->ExternIP, "%s", address);
}

void CloseServer(Server *pConfig) {
  CloseConnection(pConfig->listenSocket);
  pConfig->listenSocket = -1;
  CloseConnection(pConfig->implicitSocket);
  pConfig->implicitSocket = -1;
  DelAllRequests(&pConfig->requests);
  FreeBufferPool(&pConfig->replyBlocks);
  FreeBufferPool(&pConfig->xferBlocks);
  FreeBufferPool(&pConfig->cmndSpaces);
  TlsFreeContext(pConfig->tlsContext);
  pConfig->tlsContext = nullptr;
}

static bool Refuse(int sock, const char *line) {
  // One attempt: a client that does not take the line loses nothing.
  SendBytes(sock, line, strlen(line));
  CloseConnection(sock);
  return true;
}

const char *AcceptRefusal(Server *pConfig, const char *address) {
  ClientLimits *limits = &pConfig->limits;
  const char *line = nullptr;
  if (LockedOut(limits, address, NowMs()))
    line = kTooManyFailures;
  else if (ClientHeld(limits, address) >= limits->maxPerAddress)
    line = kTooManyConnections;
  return line;
}

bool RefusedAtAccept(Server *pConfig, int sock, const char *address) {
  const char *line = AcceptRefusal(pConfig, address);
  if (!line) return false;
  LogRefusal(pConfig, address, line);
  return Refuse(sock, line);
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

void ReloadServer(Server *pConfig) {
  // A whole second record: nothing of the running one changes unless the
  // new file is sound.
  static Server fresh;
  static Log freshLog;
  const char *file = pConfig->configFile;
  if (!file) return;
  if (InitConfig(&fresh, file, &freshLog) != 0 ||
      ResolveAutoAddress(fresh.Address, sizeof fresh.Address, false) != 0) {
    TlsFreeContext(fresh.tlsContext);
    fresh.tlsContext = nullptr;
    fprintf(stderr, kReloadFailed, file);
    return;
  }
  bool moved = strcmp(fresh.Address, pConfig->Address) != 0;
  if (moved || fresh.Port != pConfig->Port) {
    int sock = ListenWithMessages(fresh.Address, fresh.Port, pConfig->backlog);
    if (sock < 0) {
      TlsFreeContext(fresh.tlsContext);
      fresh.tlsContext = nullptr;
      fprintf(stderr, kReloadFailed, file);
      return;
    }
    UnwatchFd(pConfig->loop, pConfig->listenSocket);
    CloseConnection(pConfig->listenSocket);
    pConfig->listenSocket = sock;
    snprintf(pConfig->Address, sizeof pConfig->Address, "%s", fresh.Address);
    pConfig->Port = fresh.Port;
  }
  // The implicit listener follows its key (and a moved address); a port
  // that cannot be had keeps the old listener, with the system's reason.
  if (fresh.TLSImplicitPort != pConfig->TLSImplicitPort ||
      (fresh.TLSImplicitPort != 0 && moved)) {
    int sock = fresh.TLSImplicitPort == 0
                   ? -1
                   : ListenWithMessages(fresh.Address, fresh.TLSImplicitPort, pConfig->backlog);
    if (fresh.TLSImplicitPort == 0 || sock >= 0) {
      if (pConfig->implicitSocket != -1) UnwatchFd(pConfig->loop, pConfig->implicitSocket);
      CloseConnection(pConfig->implicitSocket);
      pConfig->implicitSocket = sock;
      pConfig->TLSImplicitPort = fresh.TLSImplicitPort;
    }
  }
  pConfig->MaxUsers = ReloadConnectionLimit(&pConfig->limits, fresh.MaxUsers, pConfig->roomUsers,
                                            fresh.limits.maxPerAddress, kUsersNeedRestart);
  if (strcmp(fresh.ExternIP, "AUTO") == 0)
    snprintf(fresh.ExternIP, sizeof fresh.ExternIP, "%s", pConfig->Address);
  // A host name is looked up on the worker, as a name server may take
  // seconds; sessions are told the address in force until it answers.
  memcpy(pConfig->ExternHost, fresh.ExternHost, sizeof pConfig->ExternHost);
  if (fresh.ExternHost[0] != '\0')
    ResolveIPv4OffLoop(pConfig->worker, fresh.ExternHost, pConfig, OnExternHostAnswered);
  else
    memcpy(pConfig->ExternIP, fresh.ExternIP, sizeof pConfig->ExternIP);
  pConfig->maxBandwidth = fresh.maxBandwidth;
  pConfig->TimeoutTime = fresh.TimeoutTime;
  pConfig->DataPort = fresh.DataPort;
  pConfig->RequireTLS = fresh.RequireTLS;
  // Sessions already past their header keep the address it named.
  pConfig->proxies = fresh.proxies;
  memcpy(pConfig->TLSCertificate, fresh.TLSCertificate, sizeof pConfig->TLSCertificate);
  memcpy(pConfig->TLSKey, fresh.TLSKey, sizeof pConfig->TLSKey);
  // Sessions already in TLS hold their own reference to the old context.
  TlsFreeContext(pConfig->tlsContext);
  pConfig->tlsContext = fresh.tlsContext;
  fresh.tlsContext = nullptr;
  ApplyReloadedLog(pConfig->log, freshLog);
  printf(kReloaded, file);
}
