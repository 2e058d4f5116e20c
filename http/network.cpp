#include "network.h"

#include <cstdio>
#include <cstring>

#include "config.h"
#include "connections.h"
#include "content_types.h"
#include "event_loop.h"
#include "http_server.h"
#include "kept_files.h"
#include "main_loop.h"
#include "sockets.h"
#include "startup.h"
#include "tls.h"

#include "rotating_log.h"

static const char kReloaded[] = "Configuration %s reloaded.\n";
static const char kReloadFailed[] =
    "Configuration %s is faulty; the running configuration is kept.\n";
static const char kConnectionsNeedRestart[] =
    "MaxConnections=%u needs a restart; using MaxConnections=%u until then.\n";

// A listening socket on the configured address, or -1 after saying why.
static int Listen(HttpServer *s, int port) {
  return ListenWithMessages(s->address, (unsigned)port, s->backlog);
}

int InitNet(HttpServer *s) {
  if (ResolveAutoAddress(s->address, sizeof s->address, true) != 0) return -1;
  s->listenSocket = Listen(s, s->port);
  if (s->listenSocket < 0) return -1;
  if (strcmp(s->baseURL, "AUTO") == 0) {
    char host[kAddressTextSize + 2];
    UrlHost(s->address, host, sizeof host);
    snprintf(s->baseURL, sizeof s->baseURL, "http://%s", host);
  }
  CompleteBaseURL(s);
  if (s->tlsPort > 0) {
    char error[256];
    s->tlsContext = TlsServerContext(s->tlsCertificate, s->tlsKey, true, error,
                                     sizeof error);
    if (!s->tlsContext) {
      fprintf(stderr, "%s\n", error);
      return -1;
    }
    s->tlsListenSocket = Listen(s, s->tlsPort);
    if (s->tlsListenSocket < 0) return -1;
    // A redirect answered on the encrypted port keeps the client on it.
    UrlWithPort(s->baseURL, "https", (unsigned)s->tlsPort, s->tlsBaseURL,
                sizeof s->tlsBaseURL);
  }
  return InitLoop(s);
}

void CompleteBaseURL(HttpServer *s) {
  char *url = s->baseURL;
  // Every Location appends a path that starts with '/'.
  size_t n = strlen(url);
  while (n > 0 && url[n - 1] == '/') url[--n] = '\0';
  // A plain-HTTP base without a port names port 80; a server listening
  // elsewhere is only found again with its port. Other schemes (a proxy in
  // front of the server) keep the base as written.
  const char scheme[] = "http://";
  if (strncmp(url, scheme, sizeof scheme - 1) != 0 || s->port == 80) return;
  char *host = url + sizeof scheme - 1;
  size_t hostLength = strcspn(host, "/?#");
  if (hostLength == 0) return;
  // The last ':' of the host part starts a port unless it lies inside the
  // brackets of an IPv6 literal.
  const char *colon = nullptr;
  for (size_t i = 0; i < hostLength; i++)
    if (host[i] == ':') colon = host + i;
  const char *bracket = (const char *)memchr(host, ']', hostLength);
  if (colon && (!bracket || colon > bracket)) return;
  char port[16];
  int portLength = snprintf(port, sizeof port, ":%d", s->port);
  // A base that would not hold the port stays as it is, never cut.
  if (n + (size_t)portLength >= sizeof s->baseURL) return;
  char *end = host + hostLength;
  memmove(end + portLength, end, strlen(end) + 1);
  memcpy(end, port, (size_t)portLength);
}

int CloseServer(HttpServer *s) {
  Connection *c = s->connections;
  while (c) c = EndConnection(c);
  CloseKeptFiles();
  CloseLoop(s);
  FreeList(&s->forbidden);
  FreeList(&s->indexes);
  FreeList(&s->types);
  FreeList(&s->headers);
  FreeSystemTypes(&s->systemTypes);
  FreeList(&s->users);
  FreeList(&s->hosts);
  FreeList(&s->virtuals);
  s->webRoot = nullptr;
  s->defaultHost = nullptr;
  DropRetiredLists(s, true);
  CloseConnection(s->listenSocket);
  s->listenSocket = -1;
  CloseConnection(s->tlsListenSocket);
  s->tlsListenSocket = -1;
  TlsFreeContext(s->tlsContext);
  s->tlsContext = nullptr;
  return 0;
}

static ListItem **ListsOf(HttpServer *s, int i) {
  ListItem **lists[] = {&s->forbidden, &s->types,   &s->virtuals, &s->hosts,
                        &s->users,     &s->indexes, &s->headers};
  return lists[i];
}

void DropRetiredLists(HttpServer *s, bool all) {
  // Connections are kept oldest first: the first one is the oldest user
  // of any lists.
  uint64_t oldest = s->connections ? s->connections->generation : UINT64_MAX;
  RetiredLists **at = &s->retired;
  while (*at) {
    RetiredLists *r = *at;
    if (!all && r->generation >= oldest) {
      at = &r->next;
      continue;
    }
    // Kept files are known by their root's descriptor, whose number the
    // next root opened may take: none may outlive its root.
    CloseKeptFiles();
    for (ListItem *&list : r->lists) FreeList(&list);
    *at = r->next;
    delete r;
  }
}

static int ReloadFailed(HttpServer *fresh, const char *path) {
  for (int i = 0; i < kRetiredLists; i++) FreeList(ListsOf(fresh, i));
  FreeSystemTypes(&fresh->systemTypes);
  TlsFreeContext(fresh->tlsContext);
  fresh->tlsContext = nullptr;
  fprintf(stderr, kReloadFailed, path);
  return -1;
}

void ReloadServer(HttpServer *s) {
  const char *path = s->configPath;
  if (!path) return;
  // A whole second record: nothing of the running one changes unless the
  // new file is sound.
  static HttpServer fresh;
  static Log freshLog;
  fresh = HttpServer{};
  if (InitConfig(path, &fresh, &freshLog) != 0 ||
      ResolveAutoAddress(fresh.address, sizeof fresh.address, false) != 0) {
    ReloadFailed(&fresh, path);
    return;
  }
  if (fresh.tlsPort > 0) {
    char error[256];
    fresh.tlsContext = TlsServerContext(fresh.tlsCertificate, fresh.tlsKey, true,
                                        error, sizeof error);
    if (!fresh.tlsContext) {
      fprintf(stderr, "%s\n", error);
      ReloadFailed(&fresh, path);
      return;
    }
  }
  // New listening sockets only when where to listen changed; all of them
  // open before any old one closes, so a failure keeps the running ones.
  bool moved = strcmp(fresh.address, s->address) != 0 || fresh.port != s->port;
  bool tlsMoved = moved || fresh.tlsPort != s->tlsPort;
  int plain = -1, secure = -1;
  if (moved && (plain = Listen(&fresh, fresh.port)) < 0) {
    ReloadFailed(&fresh, path);
    return;
  }
  if (tlsMoved && fresh.tlsPort > 0 && (secure = Listen(&fresh, fresh.tlsPort)) < 0) {
    CloseConnection(plain);
    ReloadFailed(&fresh, path);
    return;
  }
  if (moved) {
    UnwatchFd(s->loop, s->listenSocket);
    CloseConnection(s->listenSocket);
    s->listenSocket = plain;
  }
  if (tlsMoved) {
    if (s->tlsListenSocket >= 0) UnwatchFd(s->loop, s->tlsListenSocket);
    CloseConnection(s->tlsListenSocket);
    s->tlsListenSocket = secure;
  }
  memcpy(s->address, fresh.address, sizeof s->address);
  s->port = fresh.port;
  s->tlsPort = fresh.tlsPort;
  // Connections in TLS hold their own reference to the old context.
  TlsFreeContext(s->tlsContext);
  s->tlsContext = fresh.tlsContext;
  fresh.tlsContext = nullptr;
  memcpy(s->tlsCertificate, fresh.tlsCertificate, sizeof s->tlsCertificate);
  memcpy(s->tlsKey, fresh.tlsKey, sizeof s->tlsKey);

  RetiredLists *old = new RetiredLists();
  for (int i = 0; i < kRetiredLists; i++) {
    old->lists[i] = *ListsOf(s, i);
    *ListsOf(s, i) = *ListsOf(&fresh, i);
    *ListsOf(&fresh, i) = nullptr;
  }
  old->generation = s->generation++;
  old->next = s->retired;
  s->retired = old;
  // The system's types stay as read at the start: answers in flight use
  // them.
  FreeSystemTypes(&fresh.systemTypes);
  s->webRoot = fresh.webRoot;
  s->defaultHost = fresh.defaultHost;
  s->directoryListing = fresh.directoryListing;
  s->extendedMessages = fresh.extendedMessages;
  s->compressedVariants = fresh.compressedVariants;
  s->timeout = fresh.timeout;
  s->keepAliveTimeout = fresh.keepAliveTimeout;
  s->logFormat = fresh.logFormat;
  s->maxConnections = ReloadConnectionLimit(&s->limits, fresh.maxConnections, s->roomConnections,
                                           fresh.limits.maxPerAddress, kConnectionsNeedRestart);
  memcpy(s->baseURL, fresh.baseURL, sizeof s->baseURL);
  if (strcmp(s->baseURL, "AUTO") == 0) {
    char host[kAddressTextSize + 2];
    UrlHost(s->address, host, sizeof host);
    snprintf(s->baseURL, sizeof s->baseURL, "http://%s", host);
  }
  CompleteBaseURL(s);
  s->tlsBaseURL[0] = '\0';
  if (s->tlsPort > 0)
    UrlWithPort(s->baseURL, "https", (unsigned)s->tlsPort, s->tlsBaseURL,
                sizeof s->tlsBaseURL);

  ApplyReloadedLog(s->log, freshLog);
  printf(kReloaded, path);
}
