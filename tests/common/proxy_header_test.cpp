// The PROXY header a balancer sends before its client's bytes: both forms,
// in pieces, broken ones, and the list of proxies it is taken from.
#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <sys/socket.h>
#include <unistd.h>

#include "proxy_header.h"

namespace {

ProxyResult Parse(const std::string &b, ProxyHeader *out) {
  return ParseProxyHeader((const unsigned char *)b.data(), b.size(), out);
}

// A binary header: command, family, address block, TLVs.
std::string V2(char command, char family, const std::string &block, const std::string &tlv = "") {
  size_t n = block.size() + tlv.size();
  return std::string("\r\n\r\n\0\r\nQUIT\n", 12) + command + family + char(n >> 8) +
         char(n & 0xff) + block + tlv;
}
// 10.1.2.3:51000 to 192.0.2.1:21.
const std::string kInet("\x0a\x01\x02\x03\xc0\x00\x02\x01\xc7\x38\x00\x15", 12);
const std::string kInet6 = "\x20\x01\x0d\xb8" + std::string(11, '\0') + "\x07" +
                           std::string(16, '\0') + "\x01\xbb" + std::string(2, '\0');

}  // namespace

// Each header names its client (or none) whatever follows it, and no
// prefix of it is refused.
TEST(ProxyHeader, GoodHeadersAndTheirPieces) {
  const std::pair<std::string, const char *> cases[] = {
      {"PROXY TCP4 10.1.2.3 192.0.2.1 51000 21\r\n", "10.1.2.3:51000"},
      {"PROXY TCP6 2001:db8::7 2001:db8::1 443 8443\r\n", "2001:db8::7:443"},
      {"PROXY UNKNOWN ffff::1 ffff::2 1 2\r\n", ""},
      {V2(0x21, 0x11, kInet, std::string("\x04\x00\x03xyz", 6)), "10.1.2.3:51000"},
      {V2(0x21, 0x21, kInet6), "2001:db8::7:443"},
      {V2(0x20, 0x11, kInet), ""},                  // LOCAL: a health check
      {V2(0x21, 0x31, std::string(216, 'u')), ""},  // a local socket
  };
  for (const auto &c : cases) {
    ProxyHeader h;
    ASSERT_EQ(Parse(c.first + "GET / HTTP/1.0\r\n", &h), ProxyResult::kDone) << c.first;
    EXPECT_EQ(h.length, c.first.size());
    EXPECT_EQ(h.hasSource ? std::string(h.source.text) + ":" + std::to_string(h.source.port) : "",
              c.second);
    for (size_t n = 0; n < c.first.size(); n++)
      ASSERT_NE(Parse(c.first.substr(0, n), &h), n < 16 ? ProxyResult::kDone : ProxyResult::kBad)
          << c.first << " cut at " << n;
  }
}

TEST(ProxyHeader, BrokenHeadersAreRefused) {
  const std::string v1 = "PROXY TCP4 10.1.2.3 192.0.2.1 ";
  for (const std::string &b : std::vector<std::string>{
           "GET / HTTP/1.0\r\n", v1 + "51000\r\n", v1 + " 51000 21\r\n", v1 + "51000 21 \r\n",
           v1 + "65536 21\r\n", v1 + "051000 21\r\n", v1 + "51000 21\n", "PROXY \r\n",
           "PROXY TCP4 2001:db8::7 192.0.2.1 1 2\r\n", "PROXY TCP4 10.1.2.256 192.0.2.1 1 2\r\n",
           "PROXY UDP4 10.1.2.3 192.0.2.1 1 2\r\n", "PROXY UNKNOWN\x01\r\n", std::string("PROXY UNKNOWN\0x\r\n", 17),
           "PROXY UNKNOWN " + std::string(92, 'x') + "\r\n", V2(0x11, 0x11, kInet),
           V2(0x22, 0x11, kInet), V2(0x21, 0x11, kInet.substr(0, 11)), V2(0x21, 0x21, kInet),
           V2(0x21, 0x11, kInet, std::string(kProxyV2MaxBody, 't'))}) {
    ProxyHeader h;
    EXPECT_EQ(Parse(b, &h), ProxyResult::kBad) << b;
  }
}

// The reader takes exactly the header off the socket, however it comes.
TEST(ProxyHeader, ReaderTakesTheHeaderInPiecesAndNoMore) {
  for (const std::string &header : {std::string("PROXY TCP4 10.1.2.3 192.0.2.1 51000 21\r\n"),
                                    V2(0x21, 0x11, kInet, "\x04\x01\x2c" + std::string(300, 't'))}) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    unsigned char keep[kProxyKeep];
    ProxyWait wait{}, fresh{};
    ProxyHeader h;
    const std::string sent = header + "USER bob\r\n";
    size_t at = 0, piece = 1;
    ProxyResult r = ProxyResult::kNeedMore;
    while (r == ProxyResult::kNeedMore && at < sent.size()) {
      size_t n = std::min(piece++, sent.size() - at);  // 1, 2, 3... bytes
      ASSERT_EQ(write(fds[1], sent.data() + at, n), (ssize_t)n);
      at += n;
      r = ReadProxyHeader(fds[0], keep, &wait, &h);
    }
    ASSERT_EQ(r, ProxyResult::kDone);
    EXPECT_STREQ(h.source.text, "10.1.2.3");
    ASSERT_EQ(write(fds[1], sent.data() + at, sent.size() - at), (ssize_t)(sent.size() - at));
    char rest[16] = {};
    EXPECT_EQ(read(fds[0], rest, sizeof rest - 1), 10);
    EXPECT_STREQ(rest, "USER bob\r\n");
    close(fds[1]);  // gone before a header
    EXPECT_EQ(ReadProxyHeader(fds[0], keep, &fresh, &h), ProxyResult::kBad);
    close(fds[0]);
  }
}

TEST(ProxyHeader, TrustedProxiesAndRanges) {
  ProxyTrust trust{};
  trust.on = true;
  ASSERT_EQ(ParseTrustedProxies("127.0.0.1, 10.8.0.0/14 ::1\t2001:db8:40::/42", &trust), 0);
  NetAddress a;
  for (const char *in : {"127.0.0.1", "10.11.255.255", "::1", "::ffff:127.0.0.1", "2001:db8:7f::1"})
    EXPECT_TRUE(AddressFromText(in, 0, &a) == 0 && MustSendProxyHeader(&trust, &a)) << in;
  for (const char *out : {"127.0.0.2", "10.12.0.0", "10.7.255.255", "2001:db8:80::1"})
    EXPECT_FALSE(AddressFromText(out, 0, &a) == 0 && MustSendProxyHeader(&trust, &a)) << out;
  for (const char *bad : {"127.0.0.1/33", "::1/129", "10.0.0.0/", "localhost", "fe80::1%eth0"})
    EXPECT_EQ(ParseTrustedProxies(bad, &trust), -1) << bad;
  EXPECT_EQ(trust.count, 0);
}
