#include "prompt_connect.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

static const char MsgCreateFailed[] = "Creating socket failed.";
static const char MsgConnectFailed[] = "Connect failed.";

int InputString(char *buf, size_t size) {
  if (size == 0) return -1;
  fflush(stdout);
  memset(buf, 0, size);
  // Read byte by byte rather than with fgets so that a NUL typed inside a
  // line cannot hide where the line really ended.
  size_t n = 0;
  int c = EOF;
  while (n + 1 < size) {
    c = getchar();
    if (c == EOF || c == '\n') break;
    buf[n++] = (char)c;
  }
  if (n == 0 && c == EOF) return -1;
  // The buffer filled before the line ended: what is left of the line
  // belongs to no prompt, so drop it here instead of letting the next
  // prompt read it as its answer.
  if (n + 1 == size && c != '\n' && c != EOF) {
    do {
      c = getchar();
    } while (c != EOF && c != '\n');
  }
  return 0;
}

// Letters, digits and the few marks of host names and numeric addresses
// of either family; anything else is refused before any lookup is made.
static bool HostText(const char *host) {
  if (!host[0]) return false;
  for (const char *p = host; *p; p++)
    if (!isalnum((unsigned char)*p) && !strchr(".-_:%", *p)) return false;
  return true;
}

int ConnectToServer(const char *addr, int port) {
  // A port typed outside 1..65535 would wrap to some other port.
  struct addrinfo *found = nullptr;
  if (port > 0 && port <= 65535 && HostText(addr)) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    char service[8];
    snprintf(service, sizeof service, "%d", port);
    if (getaddrinfo(addr, service, &hints, &found) != 0) found = nullptr;
  }
  bool created = false;
  // Each address the name has, in the resolver's order, until one answers.
  for (struct addrinfo *a = found; a; a = a->ai_next) {
    int sock = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (sock < 0) continue;
    created = true;
    if (connect(sock, a->ai_addr, a->ai_addrlen) == 0) {
      freeaddrinfo(found);
      return sock;
    }
    close(sock);
  }
  if (found) freeaddrinfo(found);
  printf("%s\n", found && !created ? MsgCreateFailed : MsgConnectFailed);
  return -1;
}
