// The PROXY protocol header a TCP balancer puts in front of what a client
// sends, naming the client it took the connection from. A server that
// sits behind such a balancer reads it before anything else on the
// connection (before a TLS handshake, before a greeting) and from then on
// treats the address in it as the client's. Only connections from the
// configured proxies may carry it; anyone else could name any address.
#pragma once
#include <cstddef>
#include <cstdint>

#include "addresses.h"

// The text form's longest header, its CR LF included.
constexpr size_t kProxyV1Max = 107;
// The binary form: a 16-byte head, then up to this many bytes of
// addresses and TLVs. The protocol allows 64 KiB; a balancer sends tens
// of bytes, a few hundred with every TLV it knows.
constexpr size_t kProxyV2Head = 16;
constexpr size_t kProxyV2MaxBody = 2048;
// Bytes of the header a reader keeps until it is complete: the whole text
// form, or the binary head with its longest address block we read (IPv6).
constexpr size_t kProxyKeep = 108;

enum class ProxyResult : uint8_t {
  kNeedMore,  // a proper beginning; the rest has not come yet
  kBad,       // no PROXY header, or a broken one
  kDone,      // *out is filled
};

struct ProxyHeader {
  // Bytes of the whole header. Of the binary form the parser needs only
  // the part up to the addresses; the TLVs behind it are read past.
  uint32_t length;
  // False for a header that names no TCP client (LOCAL, a balancer's own
  // health check; UNKNOWN; other families): the connection's own peer
  // stays the client.
  bool hasSource;
  NetAddress source;
};

// Parses the first n bytes of a connection. Pure: nothing is read here.
ProxyResult ParseProxyHeader(const unsigned char *bytes, size_t n, ProxyHeader *out);

// A header being read off a non-blocking socket. Zero it at accept.
struct ProxyWait {
  uint32_t have;    // bytes taken so far, kept in the caller's buffer
  uint32_t length;  // the whole header's, once known (0 before)
};

// Reads the header from fd, keeping what it takes in `keep` (kProxyKeep
// bytes of the caller's, untouched otherwise until kDone). Takes exactly
// the header's bytes off the socket: whatever follows (a TLS handshake, a
// request) is left for the server. kNeedMore while the socket holds only
// part of it (call again when readable); kBad also when the peer closed
// or the socket failed.
ProxyResult ReadProxyHeader(int fd, unsigned char *keep, ProxyWait *wait, ProxyHeader *out);

// The proxies a server takes headers from: ProxyProtocol= and
// TrustedProxies= (addresses and CIDR ranges of either family).
constexpr int kTrustedProxyNets = 32;
struct ProxyNet {
  unsigned char bytes[16];  // IPv4 as ::ffff:a.b.c.d
  uint8_t bits;             // prefix length over the 16 bytes
};
struct ProxyTrust {
  bool on;        // ProxyProtocol=1
  uint8_t count;  // nets used
  ProxyNet nets[kTrustedProxyNets];
};

// Reads a TrustedProxies= value: entries separated by commas or blanks,
// each an address or address/prefix. 0, or -1 for an entry that is none
// (or more than kTrustedProxyNets of them); *out is then left empty.
int ParseTrustedProxies(const char *text, ProxyTrust *out);
// True when ProxyProtocol is on and the peer is in one of the nets: its
// connection must begin with a header.
bool MustSendProxyHeader(const ProxyTrust *trust, const NetAddress *peer);
