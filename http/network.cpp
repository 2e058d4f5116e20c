#include "network.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config.h"
#include "connections.h"
#include "http_server.h"
#include "main_loop.h"
#include "sockets.h"

namespace {
const char kNoWinsock[] = "Error initializing Winsock 1.1.\n";
const char kNoSocket[] = "Creating socket failed.\n";
const char kNoAddress[] = "Could not detect IP address.\n";
const char kManyAddresses[] =
    "More than one IP address was detected, using the first in list.\n";
const char kNoBind[] = "Associate local address with socket failed.\n";
const char kNoListen[] = "Putting socket into listening mode failed.\n";
}  // namespace

int InitNet(HttpServer *s) {
  if (StartWinsock() != 0) {
    fputs(kNoWinsock, stderr);
    return -1;
  }
  if (strcmp(s->address, "AUTO") == 0) {
    int count = 1;
    if (FindHostAddresses(&s->address, &count) != 0) {
      fputs(kNoAddress, stderr);
      return -1;
    }
    if (count > 1) fputs(kManyAddresses, stderr);
  }
  int stage = 0;
  s->listenSocket = ListenTcp(s->address, (unsigned)s->port, s->backlog, &stage);
  if (s->listenSocket < 0) {
    // The operator needs the system's reason too: a port in use, a
    // privileged port, an address that is not this machine's.
    int err = errno;
    fputs(stage == 1 ? kNoSocket : stage == 2 ? kNoBind : kNoListen, stderr);
    fprintf(stderr, "%s\n", strerror(err));
    return -1;
  }
  if (strcmp(s->baseURL, "AUTO") == 0)
    snprintf(s->baseURL, sizeof s->baseURL, "http://%s", s->address);
  return InitLoop(s);
}

int CloseServer(HttpServer *s) {
  Connection *c = s->connections;
  while (c) c = EndConnection(c);
  CloseLoop(s);
  FreeList(&s->forbidden);
  FreeList(&s->indexes);
  FreeList(&s->types);
  FreeList(&s->users);
  FreeList(&s->hosts);
  FreeList(&s->virtuals);
  s->webRoot = nullptr;
  s->defaultHost = nullptr;
  CloseConnection(s->listenSocket);
  s->listenSocket = -1;
  return 0;
}
