#include "sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "worker.h"

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

namespace {

struct LookUp {
  WorkJob job;  // first: the worker hands back this address
  void *owner;
  void (*answered)(void *owner, const char *name, const char *address);
  bool ran;
  int result;
  char name[256];
  char address[16];
};

void RunLookUp(WorkJob *job) {
  LookUp *l = reinterpret_cast<LookUp *>(job);
  l->ran = true;
  l->result = ResolveIPv4(l->name, l->address, sizeof l->address);
}

void LookUpDone(WorkJob *job) {
  LookUp *l = reinterpret_cast<LookUp *>(job);
  if (l->ran) l->answered(l->owner, l->name, l->result == 0 ? l->address : nullptr);
  delete l;
}

}  // namespace

void ResolveIPv4OffLoop(Worker *worker, const char *name, void *owner,
                        void (*answered)(void *owner, const char *name, const char *address)) {
  LookUp *l = new (std::nothrow) LookUp;
  if (!l || strlen(name) >= sizeof l->name) {
    delete l;
    answered(owner, name, nullptr);
    return;
  }
  l->job.run = RunLookUp;
  l->job.done = LookUpDone;
  l->owner = owner;
  l->answered = answered;
  l->ran = false;
  l->result = -1;
  memcpy(l->name, name, strlen(name) + 1);
  WorkOn(worker, &l->job);
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
  // Nothing unread (the usual case): the close alone ends our side in
  // order. Otherwise the peer sees the end of our data first, then what it
  // sent is read.
  char buf[kDrainPiece];
  if (recv(sock, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    shutdown(sock, SHUT_WR);
    DrainBounded(sock);
  }
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
