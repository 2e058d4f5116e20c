// Idle keep-alive clients for the benchmark's idle rows: COUNT connections
// from one loopback source address, each asks for one file over HTTP/1.1,
// reads the whole answer and then stays silent, as a browser's connection
// does between page loads. Prints "held COUNT" once all are answered, then
// holds them until its standard input closes, and resets them all (no
// TIME_WAIT, so the next round finds the source ports free again).
// Built and run by bench/http_bench.py only: one process per source
// address, since a loopback address offers some 28,000 ephemeral ports
// towards one server port and a process may hold only so many descriptors.
// Usage: idle_clients PORT COUNT SOURCE_ADDRESS PATH SECONDS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Connections between connect() and the end of their answer: enough to
// keep the server busy, few enough for its listen backlog.
const int kInFlight = 256;

struct Pending {
  int fd;
  int held;   // bytes of the head so far
  long left;  // body bytes still to come; -1 while the head is read
  char head[1024];
};

long NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

int Fail(const char *what, int done) {
  fprintf(stderr, "idle_clients: %s after %d connections: %s\n", what, done,
          errno ? strerror(errno) : "-");
  return 1;
}

// Body bytes announced by a complete head (0 without Content-Length).
long BodyLength(const char *head, int length) {
  for (int i = 0; i + 15 < length; i++)
    if (strncasecmp(head + i, "\r\ncontent-length:", 17) == 0) return atol(head + i + 17);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 6) {
    fputs("usage: idle_clients PORT COUNT SOURCE_ADDRESS PATH SECONDS\n", stderr);
    return 2;
  }
  int count = atoi(argv[2]);
  struct sockaddr_in server, source;
  memset(&server, 0, sizeof server);
  server.sin_family = AF_INET;
  server.sin_port = htons((uint16_t)atoi(argv[1]));
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  source = server;
  source.sin_port = 0;
  if (inet_pton(AF_INET, argv[3], &source.sin_addr) != 1) return 2;
  char request[512];
  int requestLength = snprintf(request, sizeof request,
                               "GET %s HTTP/1.1\r\nHost: bench\r\n\r\n", argv[4]);
  long deadline = NowMs() + 1000L * atol(argv[5]);

  std::vector<int> idle;
  idle.reserve((size_t)count);
  std::vector<Pending> slots(kInFlight);
  std::vector<int> freeSlots;
  for (int i = kInFlight - 1; i >= 0; i--) freeSlots.push_back(i);
  static char scratch[65536];
  int ep = epoll_create1(0);
  int started = 0, one = 1;
  struct epoll_event ready[kInFlight];
  while ((int)idle.size() < count) {
    while (started < count && !freeSlots.empty()) {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      if (fd < 0) return Fail("socket", (int)idle.size());
      // The port is chosen at connect(), per destination, not at bind().
      setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
      if (bind(fd, (struct sockaddr *)&source, sizeof source) != 0)
        return Fail("bind", (int)idle.size());
      if (connect(fd, (struct sockaddr *)&server, sizeof server) != 0 && errno != EINPROGRESS)
        return Fail("connect", (int)idle.size());
      int slot = freeSlots.back();
      freeSlots.pop_back();
      slots[slot] = Pending{fd, 0, -1, {}};
      struct epoll_event ev = {EPOLLOUT, {.u32 = (uint32_t)slot}};
      epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
      started++;
    }
    long wait = deadline - NowMs();
    if (wait <= 0) {
      errno = 0;
      return Fail("out of time", (int)idle.size());
    }
    int n = epoll_wait(ep, ready, kInFlight, (int)(wait < 1000 ? wait : 1000));
    for (int i = 0; i < n; i++) {
      Pending &p = slots[ready[i].data.u32];
      if (ready[i].events & EPOLLOUT) {
        int error = 0;
        socklen_t size = sizeof error;
        getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &error, &size);
        errno = error;
        if (error || send(p.fd, request, (size_t)requestLength, MSG_NOSIGNAL) != requestLength)
          return Fail("connect or send", (int)idle.size());
        struct epoll_event ev = {EPOLLIN, {.u32 = ready[i].data.u32}};
        epoll_ctl(ep, EPOLL_CTL_MOD, p.fd, &ev);
        continue;
      }
      ssize_t got = p.left < 0 ? recv(p.fd, p.head + p.held, sizeof p.head - 1 - p.held, 0)
                               : recv(p.fd, scratch, sizeof scratch, 0);
      if (got < 0 && errno == EAGAIN) continue;
      if (got <= 0) {
        if (got == 0) errno = 0;
        return Fail("closed before the answer's end", (int)idle.size());
      }
      if (p.left < 0) {
        p.held += (int)got;
        p.head[p.held] = '\0';
        char *end = strstr(p.head, "\r\n\r\n");
        if (!end) {
          errno = 0;
          if (p.held >= (int)sizeof p.head - 1) return Fail("head too long", (int)idle.size());
          continue;
        }
        int headLength = (int)(end + 4 - p.head);
        p.left = BodyLength(p.head, headLength) - (p.held - headLength);
      } else {
        p.left -= got;
      }
      if (p.left > 0) continue;
      epoll_ctl(ep, EPOLL_CTL_DEL, p.fd, nullptr);
      idle.push_back(p.fd);
      freeSlots.push_back((int)ready[i].data.u32);
    }
  }
  printf("held %d\n", (int)idle.size());
  fflush(stdout);
  // Until the benchmark closes our standard input (or ends).
  while (read(0, scratch, sizeof scratch) > 0) {
  }
  struct linger reset = {1, 0};
  for (int fd : idle) {
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
  }
  return 0;
}
