#include "addresses.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <sys/random.h>
#include <unistd.h>

#include "clock.h"
#include "sockets.h"

namespace {

// Rewrites an IPv4-mapped IPv6 address as the plain IPv4 one.
void Unmap(NetAddress *a) {
  if (a->sa.ss_family != AF_INET6) return;
  const struct sockaddr_in6 *six = (const struct sockaddr_in6 *)&a->sa;
  if (!IN6_IS_ADDR_V4MAPPED(&six->sin6_addr)) return;
  struct sockaddr_in four;
  memset(&four, 0, sizeof four);
  four.sin_family = AF_INET;
  four.sin_port = six->sin6_port;
  memcpy(&four.sin_addr, &six->sin6_addr.s6_addr[12], 4);
  memset(&a->sa, 0, sizeof a->sa);
  memcpy(&a->sa, &four, sizeof four);
  a->length = sizeof four;
}

void Print(NetAddress *a) {
  const void *raw;
  if (a->sa.ss_family == AF_INET) {
    const struct sockaddr_in *sin = (const struct sockaddr_in *)&a->sa;
    raw = &sin->sin_addr;
    a->port = ntohs(sin->sin_port);
  } else {
    const struct sockaddr_in6 *six = (const struct sockaddr_in6 *)&a->sa;
    raw = &six->sin6_addr;
    a->port = ntohs(six->sin6_port);
  }
  if (!inet_ntop(a->sa.ss_family, raw, a->text, sizeof a->text)) a->text[0] = '\0';
}

typedef int (*NameCall)(int, struct sockaddr *, socklen_t *);

int AddressOf(NameCall call, int fd, NetAddress *out) {
  struct sockaddr_storage sa;
  socklen_t length = sizeof sa;
  if (call(fd, (struct sockaddr *)&sa, &length) != 0) return -1;
  return AddressFromSocket((struct sockaddr *)&sa, length, out);
}

}  // namespace

int AddressFromSocket(const struct sockaddr *sa, socklen_t length,
                      NetAddress *out) {
  memset(out, 0, sizeof *out);
  if (sa->sa_family == AF_INET && length >= sizeof(struct sockaddr_in)) {
    memcpy(&out->sa, sa, sizeof(struct sockaddr_in));
    out->length = sizeof(struct sockaddr_in);
  } else if (sa->sa_family == AF_INET6 && length >= sizeof(struct sockaddr_in6)) {
    memcpy(&out->sa, sa, sizeof(struct sockaddr_in6));
    out->length = sizeof(struct sockaddr_in6);
    Unmap(out);
  } else {
    return -1;
  }
  Print(out);
  return 0;
}

int AddressFromText(const char *text, unsigned port, NetAddress *out) {
  memset(out, 0, sizeof *out);
  if (port > 65535) return -1;
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_family = strchr(text, ':') ? AF_INET6 : AF_INET;
  struct addrinfo *res = nullptr;
  if (getaddrinfo(text, nullptr, &hints, &res) != 0 || !res) return -1;
  int result = -1;
  if (res->ai_addrlen <= sizeof out->sa) {
    result = AddressFromSocket(res->ai_addr, res->ai_addrlen, out);
    if (result == 0) {
      if (out->sa.ss_family == AF_INET)
        ((struct sockaddr_in *)&out->sa)->sin_port = htons((uint16_t)port);
      else
        ((struct sockaddr_in6 *)&out->sa)->sin6_port = htons((uint16_t)port);
      out->port = port;
    }
  }
  freeaddrinfo(res);
  return result;
}

bool IsIPv6(const NetAddress *a) { return a->sa.ss_family == AF_INET6; }

bool SameHost(const NetAddress *a, const NetAddress *b) {
  if (a->sa.ss_family != b->sa.ss_family) return false;
  if (a->sa.ss_family == AF_INET)
    return memcmp(&((const struct sockaddr_in *)&a->sa)->sin_addr,
                  &((const struct sockaddr_in *)&b->sa)->sin_addr, 4) == 0;
  const struct sockaddr_in6 *x = (const struct sockaddr_in6 *)&a->sa;
  const struct sockaddr_in6 *y = (const struct sockaddr_in6 *)&b->sa;
  return memcmp(&x->sin6_addr, &y->sin6_addr, 16) == 0 &&
         x->sin6_scope_id == y->sin6_scope_id;
}

bool SameHostText(const char *a, const char *b) {
  NetAddress x, y;
  if (AddressFromText(a, 0, &x) == 0 && AddressFromText(b, 0, &y) == 0)
    return SameHost(&x, &y);
  return strcmp(a, b) == 0;
}

void UrlHost(const char *address, char *out, size_t size) {
  if (strchr(address, ':'))
    snprintf(out, size, "[%s]", address);
  else
    snprintf(out, size, "%s", address);
}

void UrlWithPort(const char *url, const char *scheme, unsigned port,
                 char *out, size_t size) {
  const char *host = strstr(url, "://");
  host = host ? host + 3 : url;
  const char *hostEnd = host;
  if (*hostEnd == '[') {
    const char *close = strchr(hostEnd, ']');
    hostEnd = close ? close + 1 : hostEnd + strlen(hostEnd);
  } else {
    while (*hostEnd && *hostEnd != ':' && *hostEnd != '/') hostEnd++;
  }
  const char *rest = hostEnd;
  if (*rest == ':')
    while (*rest && *rest != '/') rest++;
  bool own = (strcmp(scheme, "https") == 0 && port == 443) ||
             (strcmp(scheme, "http") == 0 && port == 80);
  char portText[8] = "";
  if (!own) snprintf(portText, sizeof portText, ":%u", port);
  snprintf(out, size, "%s://%.*s%s%s", scheme, (int)(hostEnd - host), host,
           portText, rest);
}

int ListenOn(const char *address, unsigned port, int backlog, int *stage,
             bool sharedPort) {
  NetAddress at;
  bool parsed;
  if (strchr(address, ':')) {
    parsed = AddressFromText(address, port, &at) == 0;
  } else {
    // Configurations have always been read with inet_aton: "127.1" and
    // the like keep working.
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = htons((uint16_t)port);
    parsed = port <= 65535 && inet_aton(address, &sin.sin_addr) != 0 &&
             AddressFromSocket((struct sockaddr *)&sin, sizeof sin, &at) == 0;
  }
  int family = parsed ? at.sa.ss_family : AF_INET;
  int fd = socket(family, SOCK_STREAM, 0);
  if (fd < 0 || !FdFits(fd)) {
    if (fd >= 0) close(fd);
    *stage = 1;
    return -1;
  }
  int one = 1, zero = 0;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (sharedPort && setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0) {
    int err = errno;
    close(fd);
    *stage = 1;
    errno = err;
    return -1;
  }
  // "::" serves IPv4 clients too, whatever the system's default says.
  if (family == AF_INET6)
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
  // errno survives the close so that the caller can say why; an address
  // that cannot be read is one this machine cannot have.
  if (!parsed || bind(fd, (struct sockaddr *)&at.sa, at.length) != 0) {
    int err = parsed ? errno : EADDRNOTAVAIL;
    close(fd);
    *stage = 2;
    errno = err;
    return -1;
  }
  if (listen(fd, backlog) != 0 || SetNonBlocking(fd) != 0) {
    int err = errno;
    close(fd);
    *stage = 3;
    errno = err;
    return -1;
  }
  return fd;
}

int ListenOnAnyOf(const char *address, unsigned first, unsigned count,
                  int backlog, int *stage, unsigned *port) {
  uint32_t start = 0;
  if (getrandom(&start, sizeof start, GRND_NONBLOCK) != (ssize_t)sizeof start)
    start = (uint32_t)NowMs();
  *stage = 2;
  errno = EADDRINUSE;
  for (unsigned i = 0; i < count; i++) {
    unsigned candidate = first + (start + i) % count;
    int fd = ListenOn(address, candidate, backlog, stage);
    if (fd >= 0) {
      *port = candidate;
      return fd;
    }
    if (*stage != 2 || errno != EADDRINUSE) return -1;
  }
  return -1;
}

int AcceptFrom(int listener, int below, NetAddress *peer) {
  struct sockaddr_storage sa;
  socklen_t length = sizeof sa;
  int fd = accept4(listener, (struct sockaddr *)&sa, &length, SOCK_NONBLOCK);
  if (fd < 0) return -1;
  // A descriptor the loop cannot watch is of no use to it.
  if (fd >= below) {
    close(fd);
    errno = EMFILE;
    return -1;
  }
  if (peer && AddressFromSocket((struct sockaddr *)&sa, length, peer) != 0) {
    close(fd);
    errno = EAFNOSUPPORT;
    return -1;
  }
  return fd;
}

int LocalAddressOf(int fd, NetAddress *out) {
  return AddressOf(getsockname, fd, out);
}

int PeerAddressOf(int fd, NetAddress *out) {
  return AddressOf(getpeername, fd, out);
}

int ConnectTo(const NetAddress *to, bool *pending) {
  *pending = false;
  int fd = socket(to->sa.ss_family, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (!FdFits(fd) || SetNonBlocking(fd) != 0) {
    close(fd);
    return -1;
  }
  if (connect(fd, (const struct sockaddr *)&to->sa, to->length) != 0) {
    if (errno != EINPROGRESS) {
      close(fd);
      return -1;
    }
    *pending = true;
  }
  return fd;
}
