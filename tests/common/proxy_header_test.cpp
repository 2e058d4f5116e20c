// The PROXY header a balancer sends before its client's bytes: both forms,
// in pieces, broken ones, and the list of proxies it is taken from.
#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "proxy_header.h"

namespace {

const std::string kSignature("\r\n\r\n\0\r\nQUIT\n", 12);

ProxyResult Parse(const std::string &bytes, ProxyHeader *out) {
  return ParseProxyHeader((const unsigned char *)bytes.data(), bytes.size(), out);
}

// A binary header: command byte, family byte, address block, then `tlv`.
std::string V2(int command, int family, const std::string &block, const std::string &tlv = "") {
  size_t body = block.size() + tlv.size();
  return kSignature + std::string(1, (char)command) + std::string(1, (char)family) +
         std::string(1, (char)(body >> 8)) + std::string(1, (char)(body & 0xff)) + block + tlv;
}

// 10.1.2.3:51000 to 192.0.2.1:21.
const std::string kInetBlock("\x0a\x01\x02\x03\xc0\x00\x02\x01\xc7\x38\x00\x15", 12);

std::string Inet6Block() {
  std::string block(36, '\0');
  block[0] = '\x20', block[1] = '\x01', block[2] = '\x0d', block[3] = '\xb8', block[15] = '\x07';
  block[32] = '\x01', block[33] = '\xbb';  // source port 443
  return block;
}

}  // namespace

// Each well-formed header names its client (or none), whatever follows it,
// and every shorter prefix of it only asks for more.
TEST(ProxyHeader, GoodHeadersAndTheirPieces) {
  struct Case {
    std::string header;
    bool hasSource;
    const char *address;
    unsigned port;
  } cases[] = {
      {"PROXY TCP4 10.1.2.3 192.0.2.1 51000 21\r\n", true, "10.1.2.3", 51000},
      {"PROXY TCP6 2001:db8::7 2001:db8::1 443 8443\r\n", true, "2001:db8::7", 443},
      {"PROXY UNKNOWN\r\n", false, "", 0},
      {"PROXY UNKNOWN ffff::1 ffff::2 1 2\r\n", false, "", 0},
      {V2(0x21, 0x11, kInetBlock), true, "10.1.2.3", 51000},
      {V2(0x21, 0x21, Inet6Block()), true, "2001:db8::7", 443},
      // TLVs are passed over; LOCAL (a health check) names nobody.
      {V2(0x21, 0x11, kInetBlock, std::string("\x04\x00\x03xyz", 6)), true, "10.1.2.3", 51000},
      {V2(0x20, 0x00, ""), false, "", 0},
      {V2(0x20, 0x11, kInetBlock), false, "", 0},
      {V2(0x21, 0x31, std::string(216, 'u')), false, "", 0},  // a local socket
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.header);
    ProxyHeader h;
    ASSERT_EQ(Parse(c.header + "GET / HTTP/1.0\r\n", &h), ProxyResult::kDone);
    EXPECT_EQ(h.length, c.header.size());
    EXPECT_EQ(h.hasSource, c.hasSource);
    if (c.hasSource) {
      EXPECT_STREQ(h.source.text, c.address);
      EXPECT_EQ(h.source.port, c.port);
    }
    size_t needed = c.header[0] == 'P' ? c.header.size() : 16 + (c.hasSource ? 12 : 0);
    if (c.header[13] == '\x21') needed = 16 + 36;
    for (size_t n = 0; n < needed; n++)
      ASSERT_EQ(Parse(c.header.substr(0, n), &h), ProxyResult::kNeedMore) << n;
  }
}

TEST(ProxyHeader, BrokenHeadersAreRefused) {
  const std::string bad[] = {
      "GET / HTTP/1.0\r\n",
      "USER anonymous\r\n",
      "PROXY TCP4 10.1.2.3 192.0.2.1 51000\r\n",         // a field short
      "PROXY TCP4 10.1.2.3  192.0.2.1 51000 21\r\n",     // two blanks
      "PROXY TCP4 10.1.2.3 192.0.2.1 51000 21 \r\n",     // a trailing one
      "PROXY TCP4 2001:db8::7 192.0.2.1 51000 21\r\n",   // the wrong family
      "PROXY TCP6 10.1.2.3 2001:db8::1 51000 21\r\n",
      "PROXY TCP4 10.1.2.256 192.0.2.1 51000 21\r\n",
      "PROXY TCP4 10.1.2.3 192.0.2.1 65536 21\r\n",
      "PROXY TCP4 10.1.2.3 192.0.2.1 051000 21\r\n",
      "PROXY TCP4 10.1.2.3 192.0.2.1 -1 21\r\n",
      "PROXY UDP4 10.1.2.3 192.0.2.1 51000 21\r\n",
      "PROXY TCP4 10.1.2.3 192.0.2.1 51000 21\n",        // no CR
      "PROXY TCP4 10.1.2.3 192.0.2.1 51000 21\rX",
      "PROXY \r\n",
      "proxy TCP4 10.1.2.3 192.0.2.1 51000 21\r\n",
      "PROXY UNKNOWN\x01\r\n",
      "PROXY UNKNOWN " + std::string(100, 'x'),          // too long for its end
      "PROXY UNKNOWN " + std::string(92, 'x') + "\r\n",  // 108 bytes
      kSignature.substr(0, 11) + "X",
      V2(0x11, 0x11, kInetBlock),                        // version 1
      V2(0x22, 0x11, kInetBlock),                        // command 2
      V2(0x21, 0x11, kInetBlock.substr(0, 11)),          // a block cut short
      V2(0x21, 0x21, kInetBlock),
      V2(0x21, 0x11, kInetBlock, std::string(kProxyV2MaxBody, 't')),
  };
  for (const std::string &b : bad) {
    ProxyHeader h;
    EXPECT_EQ(Parse(b, &h), ProxyResult::kBad) << b;
  }
}

// The reader takes exactly the header off the socket, however it comes:
// the request behind it is the server's.
TEST(ProxyHeader, ReaderTakesTheHeaderInPiecesAndNoMore) {
  const std::string tlv(300, 't');
  const std::string headers[] = {"PROXY TCP4 10.1.2.3 192.0.2.1 51000 21\r\n",
                                 V2(0x21, 0x11, kInetBlock, "\x04\x01\x2c" + tlv)};
  for (const std::string &header : headers) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    unsigned char keep[kProxyKeep];
    ProxyWait wait{};
    ProxyHeader h;
    const std::string sent = header + "USER bob\r\n";
    // 1, 2, 3... bytes at a time, then the rest.
    size_t at = 0, piece = 1;
    ProxyResult r = ProxyResult::kNeedMore;
    while (r == ProxyResult::kNeedMore) {
      ASSERT_LT(at, sent.size());
      size_t n = std::min(piece++, sent.size() - at);
      ASSERT_EQ(write(fds[1], sent.data() + at, n), (ssize_t)n);
      at += n;
      r = ReadProxyHeader(fds[0], keep, &wait, &h);
    }
    ASSERT_EQ(r, ProxyResult::kDone);
    EXPECT_STREQ(h.source.text, "10.1.2.3");
    ASSERT_EQ(write(fds[1], sent.data() + at, sent.size() - at), (ssize_t)(sent.size() - at));
    char rest[64];
    ssize_t n = read(fds[0], rest, sizeof rest);
    EXPECT_EQ(std::string(rest, n > 0 ? (size_t)n : 0), "USER bob\r\n");
    // A peer that leaves before its header is done is refused.
    ProxyWait fresh{};
    close(fds[1]);
    EXPECT_EQ(ReadProxyHeader(fds[0], keep, &fresh, &h), ProxyResult::kBad);
    close(fds[0]);
  }
}

TEST(ProxyHeader, TrustedProxiesAndRanges) {
  ProxyTrust trust{};
  trust.on = true;
  ASSERT_EQ(ParseTrustedProxies("127.0.0.1, 10.8.0.0/14 ::1\t2001:db8:40::/42", &trust), 0);
  struct {
    const char *peer;
    bool trusted;
  } peers[] = {{"127.0.0.1", true},     {"127.0.0.2", false},  {"10.11.255.255", true},
               {"10.12.0.0", false},    {"10.7.255.255", false}, {"::1", true},
               {"::ffff:127.0.0.1", true}, {"2001:db8:7f::1", true}, {"2001:db8:80::1", false}};
  for (const auto &p : peers) {
    NetAddress a;
    ASSERT_EQ(AddressFromText(p.peer, 0, &a), 0) << p.peer;
    EXPECT_EQ(MustSendProxyHeader(&trust, &a), p.trusted) << p.peer;
  }
  NetAddress local;
  AddressFromText("127.0.0.1", 0, &local);
  trust.on = false;
  EXPECT_FALSE(MustSendProxyHeader(&trust, &local));
  for (const char *bad : {"127.0.0.1/33", "::1/129", "10.0.0.0/", "10.0.0.0/8x", "localhost",
                          "fe80::1%eth0", "10.0.0.1 x"}) {
    ProxyTrust t{};
    EXPECT_EQ(ParseTrustedProxies(bad, &t), -1) << bad;
    EXPECT_EQ(t.count, 0) << bad;
  }
  std::string many;
  for (int i = 0; i <= kTrustedProxyNets; i++) many += "10.0.0." + std::to_string(i) + ",";
  EXPECT_EQ(ParseTrustedProxies(many.c_str(), &trust), -1);
}
