#include "network.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

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

static const char kListenersNeedRestart[] =
    "Address=, Port= and TLSPort= need a restart while Workers= is above 1; "
    "the workers keep listening where they do.\n";
static const char kLogNeedsRestart[] =
    "LogDir= and LogRotation= need a restart while Workers= is above 1.\n";
static const char kWorkersNeedRestart[] =
    "Workers=%d needs a restart; %d workers serve until then.\n";

// A listening socket on the configured address, or -1 after saying why.
// Several workers each listen on a socket of their own.
// Answers go out whole as they are written (no waiting for the peer's
// acknowledgement of the last one): the connections inherit that from the
// listening socket, so it costs no call per connection.
static int Listen(HttpServer *s, int port) {
  int fd = ListenWithMessages(s->address, (unsigned)port, s->backlog, s->workers > 1);
  if (fd >= 0) SetNoDelay(fd);
  return fd;
}

// The master's sockets: one per worker and port.
static int ListenForWorkers(HttpServer *s) {
  int n = 2 * s->workers;
  s->workerSockets = new int[(size_t)n];
  for (int i = 0; i < n; i++) s->workerSockets[i] = -1;
  for (int i = 0; i < s->workers; i++) {
    if ((s->workerSockets[2 * i] = Listen(s, s->port)) < 0) return -1;
    if (s->tlsPort > 0 && (s->workerSockets[2 * i + 1] = Listen(s, s->tlsPort)) < 0)
      return -1;
  }
  return 0;
}

void TakeWorkerSockets(HttpServer *s, int index) {
  if (!s->workerSockets) return;
  // The other workers' sockets are only closed here, never shut down: the
  // socket itself goes on listening for its own worker.
  for (int i = 0; i < 2 * s->workers; i++)
    if (i / 2 != index && s->workerSockets[i] >= 0) close(s->workerSockets[i]);
  s->listenSocket = s->workerSockets[2 * index];
  s->tlsListenSocket = s->workerSockets[2 * index + 1];
  delete[] s->workerSockets;
  s->workerSockets = nullptr;
}

int InitNet(HttpServer *s) {
  if (ResolveAutoAddress(s->address, sizeof s->address, true) != 0) return -1;
  if (s->workers > 1) {
    if (ListenForWorkers(s) != 0) return -1;
  } else {
    s->listenSocket = Listen(s, s->port);
    if (s->listenSocket < 0) return -1;
  }
  if (strcmp(s->baseURL, "AUTO") == 0) {
    char host[kAddressTextSize + 2];
    UrlHost(s->address, host, sizeof host);
    snprintf(s->baseURL, sizeof s->baseURL, "http://%s", host);
  }
  CompleteBaseURL(s);
  if (s->tlsPort > 0) {
    char error[kTlsErrorSize];
    s->tlsContext = TlsServerContext(s->tlsCertificate, s->tlsKey, true, error,
                                     sizeof error);
    if (!s->tlsContext) {
      fprintf(stderr, "%s\n", error);
      return -1;
    }
    if (s->workers == 1 && (s->tlsListenSocket = Listen(s, s->tlsPort)) < 0) return -1;
    // A redirect answered on the encrypted port keeps the client on it.
    UrlWithPort(s->baseURL, "https", (unsigned)s->tlsPort, s->tlsBaseURL,
                sizeof s->tlsBaseURL);
  }
  // Each worker makes its own loop once forked.
  return s->workers > 1 ? 0 : InitLoop(s);
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
  FreeBufferPool(&s->spaces);
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
  if (s->workerSockets) {
    for (int i = 0; i < 2 * s->workers; i++)
      if (s->workerSockets[i] >= 0) close(s->workerSockets[i]);
    delete[] s->workerSockets;
    s->workerSockets = nullptr;
  }
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

static void FreeFresh(HttpServer *fresh) {
  for (int i = 0; i < kRetiredLists; i++) FreeList(ListsOf(fresh, i));
  FreeSystemTypes(&fresh->systemTypes);
  TlsFreeContext(fresh->tlsContext);
  fresh->tlsContext = nullptr;
}

static int ReloadFailed(HttpServer *fresh, const char *path) {
  FreeFresh(fresh);
  fprintf(stderr, kReloadFailed, path);
  return -1;
}

// Reads the file into `fresh` with its TLS context; 0, or -1 after saying
// the running configuration is kept.
static int ReadFresh(HttpServer *fresh, Log *freshLog, const char *path) {
  *fresh = HttpServer{};
  if (InitConfig(path, fresh, freshLog) != 0 ||
      ResolveAutoAddress(fresh->address, sizeof fresh->address, false) != 0)
    return ReloadFailed(fresh, path);
  if (fresh->tlsPort > 0) {
    char error[kTlsErrorSize];
    fresh->tlsContext = TlsServerContext(fresh->tlsCertificate, fresh->tlsKey, true,
                                         error, sizeof error);
    if (!fresh->tlsContext) {
      fprintf(stderr, "%s\n", error);
      return ReloadFailed(fresh, path);
    }
  }
  return 0;
}

int ReloadServer(HttpServer *s) {
  const char *path = s->configPath;
  if (!path) return -1;
  // A whole second record: nothing of the running one changes unless the
  // new file is sound.
  static HttpServer fresh;
  static Log freshLog;
  if (ReadFresh(&fresh, &freshLog, path) != 0) return -1;
  // The master of several workers reloads first and says what is kept; the
  // workers follow quietly.
  bool master = s->workerSockets != nullptr;
  if (master && (strcmp(fresh.address, s->address) != 0 || fresh.port != s->port ||
                 fresh.tlsPort != s->tlsPort))
    fputs(kListenersNeedRestart, stderr);
  if (master && (strcmp(freshLog.dir, s->log->dir) != 0 || freshLog.rotation != s->log->rotation))
    fputs(kLogNeedsRestart, stderr);
  if (master && fresh.workers != s->workers)
    fprintf(stderr, kWorkersNeedRestart, fresh.workers, s->workers);
  if (s->workers > 1) {
    // The sockets every worker listens on were made by the master and
    // stay where they are until a restart.
    memcpy(fresh.address, s->address, sizeof fresh.address);
    fresh.port = s->port;
    fresh.tlsPort = s->tlsPort;
  }
  // New listening sockets only when where to listen changed; all of them
  // open before any old one closes, so a failure keeps the running ones.
  bool moved = strcmp(fresh.address, s->address) != 0 || fresh.port != s->port;
  bool tlsMoved = moved || fresh.tlsPort != s->tlsPort;
  int plain = -1, secure = -1;
  if (moved && (plain = Listen(&fresh, fresh.port)) < 0) return ReloadFailed(&fresh, path);
  if (tlsMoved && fresh.tlsPort > 0 && (secure = Listen(&fresh, fresh.tlsPort)) < 0) {
    CloseConnection(plain);
    return ReloadFailed(&fresh, path);
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
  // Connections in TLS hold their own reference to the old context. A
  // worker kept on its TLS port by the master keeps its context when the
  // new file names none.
  if (fresh.tlsContext || s->tlsPort == 0) {
    TlsFreeContext(s->tlsContext);
    s->tlsContext = fresh.tlsContext;
    fresh.tlsContext = nullptr;
  }
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
  // Connections already past their header keep the address it named.
  s->proxies = fresh.proxies;
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
  if (s->workers == 1 || master) printf(kReloaded, path);
  return 0;
}
