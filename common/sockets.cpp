#include "sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

int ResolveIPv4(const char *name, char *out, size_t size) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *res = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &res) != 0 || !res) return -1;
  const struct sockaddr_in *sin = (const struct sockaddr_in *)res->ai_addr;
  bool ok = inet_ntop(AF_INET, &sin->sin_addr, out, (socklen_t)size) != nullptr;
  freeaddrinfo(res);
  return ok ? 0 : -1;
}

int FindHostAddresses(char (*slots)[16], int *count) {
  for (int i = 0; i < *count; i++) memset(slots[i], 0, 16);
  char name[255];
  if (gethostname(name, sizeof name) != 0) return -1;
  name[sizeof name - 1] = '\0';
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *res = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &res) != 0 || !res) return -1;
  int n = 0;
  for (struct addrinfo *p = res; p; p = p->ai_next) {
    if (p->ai_family != AF_INET) continue;
    if (n < *count) {
      const struct sockaddr_in *sin = (const struct sockaddr_in *)p->ai_addr;
      inet_ntop(AF_INET, &sin->sin_addr, slots[n], 16);
    }
    n++;
  }
  freeaddrinfo(res);
  if (n == 0) return -1;
  *count = n;
  return 0;
}

size_t DrainBounded(int sock) {
  // Closing with unread bytes would make the kernel reset the connection and
  // cut what the peer has not read yet, so what is waiting is read first;
  // but a peer that keeps writing must not hold the one thread here, so the
  // drain stops after a fixed number of reads.
  char buf[kDrainPiece];
  size_t total = 0;
  for (int i = 0; i < kDrainReads; i++) {
    ssize_t n = recv(sock, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) break;
    total += (size_t)n;
  }
  return total;
}

int CloseConnection(int sock) {
  if (sock < 0) return 0;
  // The peer sees the end of our data before anything else happens.
  shutdown(sock, SHUT_WR);
  DrainBounded(sock);
  return close(sock) == 0 ? 0 : -1;
}

void IgnoreSigpipe() { signal(SIGPIPE, SIG_IGN); }

bool WouldBlock(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

int SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return -1;
  return fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -1;
}

bool FdFits(int fd) { return fd >= 0 && fd < FD_SETSIZE; }

int SetNoDelay(int fd) {
  int one = 1;
  return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0 ? 0 : -1;
}

int SetOobInline(int fd) {
  int one = 1;
  return setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &one, sizeof one) == 0 ? 0 : -1;
}

ssize_t SendBytes(int fd, const void *buf, size_t len) {
  return send(fd, buf, len, MSG_NOSIGNAL);
}

ssize_t RecvBytes(int fd, void *buf, size_t len) {
  return recv(fd, buf, len, 0);
}

long RaiseDescriptorLimit(long want) {
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return -1;
  if (lim.rlim_cur != RLIM_INFINITY && (long)lim.rlim_cur < want) {
    rlim_t target = (rlim_t)want;
    if (lim.rlim_max != RLIM_INFINITY && target > lim.rlim_max)
      target = lim.rlim_max;
    struct rlimit raised = {target, lim.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) lim.rlim_cur = target;
  }
  return lim.rlim_cur == RLIM_INFINITY ? want : (long)lim.rlim_cur;
}
