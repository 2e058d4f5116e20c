#include "network.h"

#include <cstdio>
#include <cstring>

#include "config.h"
#include "connections.h"
#include "http_server.h"
#include "kept_files.h"
#include "main_loop.h"
#include "sockets.h"
#include "startup.h"
#include "tls.h"

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
  CloseConnection(s->listenSocket);
  s->listenSocket = -1;
  CloseConnection(s->tlsListenSocket);
  s->tlsListenSocket = -1;
  TlsFreeContext(s->tlsContext);
  s->tlsContext = nullptr;
  return 0;
}
