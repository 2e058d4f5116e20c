// The floor under every HTTP figure of the benchmark: one thread, epoll,
// and nothing but reading a request head and sending a fixed 1 KiB answer
// (kept open when the client asks for it, closed otherwise). No file, no
// parsing beyond the empty line, no log. Built and run by
// bench/http_bench.py only.
// Usage: bare_loop PORT
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const int kMaxFds = 65536;
struct Peer {
  char head[2048];
  int held;
};
Peer *peers;
char answerKeep[2048], answerClose[2048];
int keepLength, closeLength;

void Build(char *out, int *length, const char *connection) {
  int n = snprintf(out, 2048,
                   "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                   "Content-Length: 1024\r\nConnection: %s\r\n\r\n",
                   connection);
  memset(out + n, 'x', 1024);
  *length = n + 1024;
}

// Answers every complete head held; false when the connection must close.
bool Serve(int fd) {
  Peer &p = peers[fd];
  for (;;) {
    char *end = (char *)memmem(p.head, (size_t)p.held, "\r\n\r\n", 4);
    if (!end) return p.held < (int)sizeof p.head;
    int used = (int)(end + 4 - p.head);
    bool keep = memmem(p.head, (size_t)used, "HTTP/1.1", 8) &&
                !memmem(p.head, (size_t)used, "close", 5);
    if (!keep && memmem(p.head, (size_t)used, "eep-", 4)) keep = true;
    const char *a = keep ? answerKeep : answerClose;
    int len = keep ? keepLength : closeLength;
    if (send(fd, a, (size_t)len, MSG_NOSIGNAL) != len) return false;
    memmove(p.head, p.head + used, (size_t)(p.held - used));
    p.held -= used;
    if (!keep) return false;
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  struct rlimit lim = {kMaxFds, kMaxFds};
  setrlimit(RLIMIT_NOFILE, &lim);
  peers = (Peer *)calloc(kMaxFds, sizeof(Peer));
  Build(answerKeep, &keepLength, "keep-alive");
  Build(answerClose, &closeLength, "close");
  int l = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  int one = 1;
  setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in sin;
  memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_port = htons((uint16_t)atoi(argv[1]));
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(l, (struct sockaddr *)&sin, sizeof sin) != 0 || listen(l, 511) != 0) {
    perror("bare_loop");
    return 1;
  }
  int ep = epoll_create1(0);
  struct epoll_event ev = {EPOLLIN, {.fd = l}};
  epoll_ctl(ep, EPOLL_CTL_ADD, l, &ev);
  struct epoll_event ready[512];
  for (;;) {
    int n = epoll_wait(ep, ready, 512, -1);
    for (int i = 0; i < n; i++) {
      int fd = ready[i].data.fd;
      if (fd == l) {
        for (int k = 0; k < 64; k++) {
          int c = accept4(l, nullptr, nullptr, SOCK_NONBLOCK);
          if (c < 0) break;
          if (c >= kMaxFds) {
            close(c);
            continue;
          }
          setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          peers[c].held = 0;
          struct epoll_event cev = {EPOLLIN, {.fd = c}};
          epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
        }
        continue;
      }
      Peer &p = peers[fd];
      ssize_t got = recv(fd, p.head + p.held, sizeof p.head - (size_t)p.held, 0);
      if (got > 0) {
        p.held += (int)got;
        if (Serve(fd)) continue;
      } else if (got < 0 && errno == EAGAIN) {
        continue;
      }
      epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
      close(fd);
    }
  }
}
