#include "proxy_header.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace {

const char kV1Start[] = "PROXY ";
const unsigned char kV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                        0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
// Address blocks of the binary form: two addresses, two ports.
const size_t kV2Inet = 12, kV2Inet6 = 36;

// Splits the text header's fields at single blanks; the count, or -1 for
// more than `max` fields or an empty one.
int SplitFields(char *text, char **fields, int max) {
  int count = 0;
  for (char *p = text;; p++) {
    if (count == max) return -1;
    fields[count++] = p;
    char *blank = strchr(p, ' ');
    if (!blank) break;
    *blank = '\0';
    if (blank == p) return -1;
    p = blank;
  }
  return fields[count - 1][0] ? count : -1;
}

// A port as the text form writes it: 0 to 65535, no sign, no leading zero.
bool PortText(const char *text, unsigned *port) {
  size_t n = strlen(text);
  if (n == 0 || n > 5 || (n > 1 && text[0] == '0')) return false;
  unsigned v = 0;
  for (size_t i = 0; i < n; i++) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (unsigned)(text[i] - '0');
  }
  *port = v;
  return v <= 65535;
}

ProxyResult ParseV1(const unsigned char *bytes, size_t n, ProxyHeader *out) {
  size_t start = sizeof kV1Start - 1;
  if (memcmp(bytes, kV1Start, n < start ? n : start) != 0) return ProxyResult::kBad;
  const unsigned char *cr = (const unsigned char *)memchr(bytes, '\r', n);
  size_t lineEnd = cr ? (size_t)(cr - bytes) : n;
  // A line ended by a bare LF will never be a header.
  if (memchr(bytes, '\n', lineEnd)) return ProxyResult::kBad;
  if (!cr) return n < kProxyV1Max ? ProxyResult::kNeedMore : ProxyResult::kBad;
  if (lineEnd + 2 > kProxyV1Max || lineEnd < start) return ProxyResult::kBad;
  if (lineEnd + 1 == n) return ProxyResult::kNeedMore;
  if (cr[1] != '\n') return ProxyResult::kBad;
  // Printable text only (a NUL too would cut the fields short).
  for (size_t i = start; i < lineEnd; i++)
    if (bytes[i] < 0x20 || bytes[i] > 0x7e) return ProxyResult::kBad;
  char line[kProxyV1Max];
  memcpy(line, bytes + start, lineEnd - start);
  line[lineEnd - start] = '\0';
  out->length = (uint32_t)lineEnd + 2;
  out->hasSource = false;
  // UNKNOWN may be followed by anything: a balancer that cannot tell the
  // client sends what it has.
  if (strncmp(line, "UNKNOWN", 7) == 0 && (line[7] == '\0' || line[7] == ' '))
    return ProxyResult::kDone;
  char *fields[6];
  if (SplitFields(line, fields, 6) != 5) return ProxyResult::kBad;
  bool four = strcmp(fields[0], "TCP4") == 0;
  if (!four && strcmp(fields[0], "TCP6") != 0) return ProxyResult::kBad;
  unsigned char raw[16];
  unsigned sourcePort, destPort;
  int family = four ? AF_INET : AF_INET6;
  if (inet_pton(family, fields[1], raw) != 1 || inet_pton(family, fields[2], raw) != 1 ||
      !PortText(fields[3], &sourcePort) || !PortText(fields[4], &destPort))
    return ProxyResult::kBad;
  if (AddressFromText(fields[1], sourcePort, &out->source) != 0) return ProxyResult::kBad;
  out->hasSource = true;
  return ProxyResult::kDone;
}

ProxyResult ParseV2(const unsigned char *bytes, size_t n, ProxyHeader *out) {
  size_t sig = sizeof kV2Signature;
  if (memcmp(bytes, kV2Signature, n < sig ? n : sig) != 0) return ProxyResult::kBad;
  if (n < kProxyV2Head) return ProxyResult::kNeedMore;
  unsigned version = bytes[12] >> 4, command = bytes[12] & 0x0f;
  unsigned family = bytes[13] >> 4, transport = bytes[13] & 0x0f;
  size_t body = (size_t)bytes[14] << 8 | bytes[15];
  if (version != 2 || command > 1 || body > kProxyV2MaxBody) return ProxyResult::kBad;
  // Only a proxied TCP connection of either family names our client;
  // LOCAL and the rest leave the connection's own address.
  bool tcp = command == 1 && transport == 1 && (family == 1 || family == 2);
  size_t block = !tcp ? 0 : family == 1 ? kV2Inet : kV2Inet6;
  if (body < block) return ProxyResult::kBad;
  if (n < kProxyV2Head + block) return ProxyResult::kNeedMore;
  out->length = (uint32_t)(kProxyV2Head + body);
  out->hasSource = tcp;
  if (!tcp) return ProxyResult::kDone;
  const unsigned char *a = bytes + kProxyV2Head;
  struct sockaddr_storage sa;
  memset(&sa, 0, sizeof sa);
  socklen_t length;
  if (family == 1) {
    struct sockaddr_in *sin = (struct sockaddr_in *)&sa;
    sin->sin_family = AF_INET;
    memcpy(&sin->sin_addr, a, 4);
    memcpy(&sin->sin_port, a + 8, 2);  // both in network order
    length = sizeof *sin;
  } else {
    struct sockaddr_in6 *six = (struct sockaddr_in6 *)&sa;
    six->sin6_family = AF_INET6;
    memcpy(&six->sin6_addr, a, 16);
    memcpy(&six->sin6_port, a + 32, 2);
    length = sizeof *six;
  }
  if (AddressFromSocket((const struct sockaddr *)&sa, length, &out->source) != 0)
    return ProxyResult::kBad;
  return ProxyResult::kDone;
}

// An address of either family as 16 bytes, IPv4 mapped.
bool SixteenBytes(const NetAddress *a, unsigned char *bytes) {
  if (a->sa.ss_family == AF_INET) {
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    memcpy(bytes, kMapped, 12);
    memcpy(bytes + 12, &((const struct sockaddr_in *)&a->sa)->sin_addr, 4);
    return true;
  }
  if (a->sa.ss_family != AF_INET6) return false;
  memcpy(bytes, &((const struct sockaddr_in6 *)&a->sa)->sin6_addr, 16);
  return true;
}

bool InNet(const ProxyNet &net, const unsigned char *bytes) {
  unsigned whole = net.bits / 8, rest = net.bits % 8;
  if (memcmp(net.bytes, bytes, whole) != 0) return false;
  if (rest == 0) return true;
  unsigned char mask = (unsigned char)(0xff << (8 - rest));
  return (net.bytes[whole] & mask) == (bytes[whole] & mask);
}

int ParseNet(const char *entry, size_t n, ProxyNet *net) {
  char text[kAddressTextSize + 4];
  if (n == 0 || n >= sizeof text) return -1;
  memcpy(text, entry, n);
  text[n] = '\0';
  char *slash = strchr(text, '/');
  if (slash) *slash = '\0';
  NetAddress a;
  // Scoped IPv6 addresses name an interface, not a range.
  if (strchr(text, '%') || AddressFromText(text, 0, &a) != 0 || !SixteenBytes(&a, net->bytes))
    return -1;
  bool four = a.sa.ss_family == AF_INET;
  unsigned most = four ? 32 : 128, bits = most;
  if (slash) {
    const char *p = slash + 1;
    if (!*p || strlen(p) > 3) return -1;
    bits = 0;
    for (; *p; p++) {
      if (*p < '0' || *p > '9') return -1;
      bits = bits * 10 + (unsigned)(*p - '0');
    }
    if (bits > most) return -1;
  }
  net->bits = (uint8_t)(four ? bits + 96 : bits);
  return 0;
}

}  // namespace

ProxyResult ParseProxyHeader(const unsigned char *bytes, size_t n, ProxyHeader *out) {
  if (n == 0) return ProxyResult::kNeedMore;
  if (bytes[0] == (unsigned char)kV1Start[0]) return ParseV1(bytes, n, out);
  if (bytes[0] == kV2Signature[0]) return ParseV2(bytes, n, out);
  return ProxyResult::kBad;
}

ProxyResult ReadProxyHeader(int fd, unsigned char *keep, ProxyWait *wait, ProxyHeader *out) {
  if (wait->length == 0) {
    // Looked at first and taken after: of a header not yet whole every
    // byte seen is its own, of a whole one exactly its length is taken.
    ssize_t n = recv(fd, keep + wait->have, kProxyKeep - wait->have, MSG_PEEK);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
      return ProxyResult::kNeedMore;
    if (n <= 0) return ProxyResult::kBad;
    ProxyResult r = ParseProxyHeader(keep, wait->have + (size_t)n, out);
    if (r == ProxyResult::kBad) return r;
    size_t take = (size_t)n;
    if (r == ProxyResult::kDone && out->length - wait->have < take)
      take = out->length - wait->have;
    if (recv(fd, keep + wait->have, take, 0) != (ssize_t)take) return ProxyResult::kBad;
    wait->have += (uint32_t)take;
    if (r == ProxyResult::kNeedMore) {
      // Full without an end: the parser would have said so already.
      return wait->have < kProxyKeep ? r : ProxyResult::kBad;
    }
    wait->length = out->length;
  }
  // The binary form's TLVs: read past, a piece at a time.
  while (wait->have < wait->length) {
    unsigned char scrap[512];
    size_t want = wait->length - wait->have;
    ssize_t n = recv(fd, scrap, want < sizeof scrap ? want : sizeof scrap, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
      return ProxyResult::kNeedMore;
    if (n <= 0) return ProxyResult::kBad;
    wait->have += (uint32_t)n;
  }
  size_t kept = wait->have < kProxyKeep ? wait->have : kProxyKeep;
  return ParseProxyHeader(keep, kept, out);
}

int ParseTrustedProxies(const char *text, ProxyTrust *out) {
  bool on = out->on;
  *out = ProxyTrust{};
  out->on = on;
  const char *p = text;
  while (*p) {
    size_t gap = strspn(p, ", \t");
    p += gap;
    if (!*p) break;
    size_t n = strcspn(p, ", \t");
    if (out->count == kTrustedProxyNets || ParseNet(p, n, &out->nets[out->count]) != 0) {
      out->count = 0;
      return -1;
    }
    out->count++;
    p += n;
  }
  return 0;
}

bool MustSendProxyHeader(const ProxyTrust *trust, const NetAddress *peer) {
  unsigned char bytes[16];
  if (!trust->on || !SixteenBytes(peer, bytes)) return false;
  for (int i = 0; i < trust->count; i++)
    if (InNet(trust->nets[i], bytes)) return true;
  return false;
}
