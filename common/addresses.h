// Network addresses of either family: the socket form and its printed
// form side by side, so sessions, logs and limits never care which family
// a client came by.
#pragma once
#include <cstddef>
#include <netinet/in.h>
#include <sys/socket.h>

// Room for the longest printed address and its NUL.
enum { kAddressTextSize = INET6_ADDRSTRLEN };

struct NetAddress {
  struct sockaddr_storage sa;
  socklen_t length;
  unsigned port;
  char text[kAddressTextSize];
};

// The one conversion from a socket address. An IPv4 client seen through a
// dual-stack IPv6 listener (::ffff:a.b.c.d) is stored as the IPv4 address
// it is: a client has one address text whichever listener it came by.
// 0, or -1 for a family other than IPv4 and IPv6.
int AddressFromSocket(const struct sockaddr *sa, socklen_t length,
                      NetAddress *out);
// A numeric address of either family (an IPv6 one may carry "%scope");
// host names are not looked up. 0 or -1.
int AddressFromText(const char *text, unsigned port, NetAddress *out);
// True for an IPv6 address (a mapped IPv4 one counts as IPv4).
bool IsIPv6(const NetAddress *a);
// True when both are the same host; ports do not matter.
bool SameHost(const NetAddress *a, const NetAddress *b);
// The same for printed forms, so "::1" and "0:0::1" are one host. Texts
// that are not addresses are equal only when they are equal as texts.
bool SameHostText(const char *a, const char *b);
// The host as it stands in a URL: an IPv6 address in brackets.
void UrlHost(const char *address, char *out, size_t size);
// The same URL with another scheme and port: "http://h:8080/x" with
// "https" and 8443 is "https://h:8443/x" (the port is left out when it is
// the scheme's own, 443 for https, 80 for http).
void UrlWithPort(const char *url, const char *scheme, unsigned port,
                 char *out, size_t size);

// Non-blocking listening TCP socket with SO_REUSEADDR on address:port.
// "::" listens on every address of both families; a dotted IPv4 address
// may be written in any form inet_aton reads. -1 on failure, with *stage
// telling which step failed: 1 socket, 2 bind/address, 3 listen.
// With `sharedPort`, several sockets (one per worker process) may listen on
// the same address and port, the kernel spreading new connections over them.
int ListenOn(const char *address, unsigned port, int backlog, int *stage,
             bool sharedPort = false);
// The same on any free port of first..first+count-1: the search starts at
// a random one (a port nobody can foretell) and goes on past ports in use
// (EADDRINUSE). The port taken goes to *port; -1 as above, stage 2 with
// errno EADDRINUSE when every port of the range is busy.
int ListenOnAnyOf(const char *address, unsigned first, unsigned count,
                  int backlog, int *stage, unsigned *port);
// accept() giving a non-blocking socket whose descriptor is below `below`
// (errno EMFILE otherwise, as for the process limit), with the peer's
// address when `peer` is given; -1 otherwise.
int AcceptFrom(int listener, int below, NetAddress *peer);
// Local and remote address of a connected socket. 0 or -1.
int LocalAddressOf(int fd, NetAddress *out);
int PeerAddressOf(int fd, NetAddress *out);
// Starts a non-blocking connect to the address. The socket, or -1 when
// none could be made; *pending says whether the connect is under way.
int ConnectTo(const NetAddress *to, bool *pending);
