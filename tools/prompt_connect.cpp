#include "prompt_connect.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

int ConnectToServer(const char *addr, int port) {
  int sock = socket(AF_INET, SOCK_STREAM, 0);
  if (sock < 0) {
    printf("%s\n", MsgCreateFailed);
    return -1;
  }
  struct sockaddr_in sin;
  memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  // A port typed outside 1..65535 would wrap to some other port.
  bool ok = port > 0 && port <= 65535 && inet_aton(addr, &sin.sin_addr) != 0;
  sin.sin_port = htons((uint16_t)(ok ? port : 0));
  if (!ok || connect(sock, (struct sockaddr *)&sin, sizeof sin) != 0) {
    printf("%s\n", MsgConnectFailed);
    close(sock);
    return -1;
  }
  return sock;
}
