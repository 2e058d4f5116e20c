#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "addresses.h"
#include "harness.h"

namespace {

// Connects a plain blocking client of the given family to host:port.
int Dial(const char *host, unsigned port) {
  NetAddress to;
  if (AddressFromText(host, port, &to) != 0) return -1;
  int fd = socket(to.sa.ss_family, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (connect(fd, (struct sockaddr *)&to.sa, to.length) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Accepts the next client within a few seconds.
int Take(int listener, NetAddress *peer) {
  int fd = -1;
  harness::WaitFor([&] { return (fd = AcceptFrom(listener, 1 << 20, peer)) >= 0; }, 5);
  return fd;
}

TEST(Addresses, TextsOfBothFamiliesAndTheSameHostWrittenTwoWays) {
  NetAddress a;
  ASSERT_EQ(AddressFromText("2001:db8:0:0:0:0:0:1", 21, &a), 0);
  EXPECT_STREQ(a.text, "2001:db8::1");
  EXPECT_EQ(a.port, 21u);
  EXPECT_TRUE(IsIPv6(&a));
  ASSERT_EQ(AddressFromText("10.0.0.5", 80, &a), 0);
  EXPECT_FALSE(IsIPv6(&a));
  EXPECT_STREQ(a.text, "10.0.0.5");
  // A mapped address is the IPv4 host it maps.
  ASSERT_EQ(AddressFromText("::ffff:10.0.0.5", 0, &a), 0);
  EXPECT_STREQ(a.text, "10.0.0.5");
  EXPECT_FALSE(IsIPv6(&a));

  ASSERT_EQ(AddressFromText("fe80::1:2:3:4%lo", 0, &a), 0);
  EXPECT_STREQ(a.text, "fe80::1:2:3:4");

  EXPECT_NE(AddressFromText("localhost", 0, &a), 0);  // no name look-ups
  EXPECT_NE(AddressFromText("1.2.3.4.5", 0, &a), 0);
  EXPECT_NE(AddressFromText("::1", 70000, &a), 0);

  EXPECT_TRUE(SameHostText("::1", "0:0:0:0:0:0:0:1"));
  EXPECT_TRUE(SameHostText("::ffff:127.0.0.1", "127.0.0.1"));
  EXPECT_FALSE(SameHostText("::1", "127.0.0.1"));
  EXPECT_FALSE(SameHostText("2001:db8::1", "2001:db8::2"));
  EXPECT_TRUE(SameHostText("AUTO", "AUTO"));

  char host[64];
  UrlHost("::1", host, sizeof host);
  EXPECT_STREQ(host, "[::1]");
  UrlHost("127.0.0.1", host, sizeof host);
  EXPECT_STREQ(host, "127.0.0.1");

  char url[128];
  UrlWithPort("http://127.0.0.1:8080", "https", 8443, url, sizeof url);
  EXPECT_STREQ(url, "https://127.0.0.1:8443");
  UrlWithPort("http://[::1]:8080/base", "https", 443, url, sizeof url);
  EXPECT_STREQ(url, "https://[::1]/base");
  UrlWithPort("http://www.example.org", "https", 8443, url, sizeof url);
  EXPECT_STREQ(url, "https://www.example.org:8443");
}

TEST(Addresses, DualStackListenerTakesBothFamiliesWithOneTextEach) {
  unsigned port = harness::FreePort();
  int stage = 0;
  int l = ListenOn("::", port, 5, &stage);
  ASSERT_GE(l, 0) << "stage " << stage;
  EXPECT_TRUE(fcntl(l, F_GETFL) & O_NONBLOCK);

  NetAddress peer;
  EXPECT_EQ(AcceptFrom(l, 1 << 20, &peer), -1);  // nothing waiting: no block

  int four = Dial("127.0.0.1", port);
  ASSERT_GE(four, 0);
  int fd = Take(l, &peer);
  ASSERT_GE(fd, 0);
  EXPECT_STREQ(peer.text, "127.0.0.1");
  EXPECT_FALSE(IsIPv6(&peer));
  EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
  NetAddress local;
  ASSERT_EQ(LocalAddressOf(fd, &local), 0);
  EXPECT_STREQ(local.text, "127.0.0.1");
  EXPECT_EQ(local.port, port);
  close(fd);
  close(four);

  int six = Dial("::1", port);
  ASSERT_GE(six, 0);
  fd = Take(l, &peer);
  ASSERT_GE(fd, 0);
  EXPECT_STREQ(peer.text, "::1");
  EXPECT_TRUE(IsIPv6(&peer));
  NetAddress seen;
  ASSERT_EQ(PeerAddressOf(fd, &seen), 0);
  EXPECT_TRUE(SameHost(&seen, &peer));
  EXPECT_EQ(seen.port, peer.port);
  close(fd);
  close(six);
  close(l);
}

TEST(Addresses, LoopbackListenersOfEachFamilyAndConnectBack) {
  unsigned port = harness::FreePort();
  int stage = 0;
  int l6 = ListenOn("::1", port, 5, &stage);
  ASSERT_GE(l6, 0) << "stage " << stage;
  // Only IPv6: an IPv4 client finds nobody there.
  EXPECT_EQ(Dial("127.0.0.1", port), -1);

  // A connect of the server's own (as an active data connection makes).
  NetAddress to;
  ASSERT_EQ(AddressFromText("::1", port, &to), 0);
  bool pending = false;
  int out = ConnectTo(&to, &pending);
  ASSERT_GE(out, 0);
  NetAddress peer;
  int in = Take(l6, &peer);
  ASSERT_GE(in, 0);
  EXPECT_STREQ(peer.text, "::1");
  close(in);
  close(out);
  close(l6);

  // The IPv4 forms configurations have always accepted still bind.
  int l4 = ListenOn("127.1", port, 5, &stage);
  ASSERT_GE(l4, 0) << "stage " << stage;
  close(l4);
  EXPECT_EQ(ListenOn("::1::2", port, 5, &stage), -1);
  EXPECT_EQ(stage, 2);
  EXPECT_EQ(ListenOn("not.an.address", port, 5, &stage), -1);
  EXPECT_EQ(stage, 2);
  EXPECT_EQ(errno, EADDRNOTAVAIL);  // the reason the operator is shown
}

}  // namespace
