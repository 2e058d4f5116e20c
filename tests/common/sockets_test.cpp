#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

#include "addresses.h"
#include "harness.h"
#include "sockets.h"

// Closing with unread bytes waiting: the peer sees an orderly end.
TEST(Sockets, CloseConnectionEndsInOrderDespiteUnreadBytes) {
  unsigned port = harness::FreePort();
  int stage = 0;
  int l = ListenOn("127.0.0.1", port, 5, &stage);
  ASSERT_GE(l, 0);
  harness::Conn c;
  ASSERT_TRUE(c.Connect(port));
  int fd = -1;
  ASSERT_TRUE(harness::WaitFor([&] { return (fd = AcceptFrom(l, 1 << 20, nullptr)) >= 0; }, 5));
  c.Send("unread request bytes");
  ASSERT_TRUE(harness::WaitFor([&] {
    char b;
    return recv(fd, &b, 1, MSG_PEEK) == 1;
  }));
  // The peer sees an orderly end, not a reset, despite the unread bytes.
  EXPECT_EQ(CloseConnection(fd), 0);
  EXPECT_TRUE(c.Closed(5));
  EXPECT_EQ(CloseConnection(-1), 0);
  close(l);
}

TEST(Sockets, WouldBlockCoversRetryableErrors) {
  EXPECT_TRUE(WouldBlock(EAGAIN));
  EXPECT_TRUE(WouldBlock(EWOULDBLOCK));
  EXPECT_TRUE(WouldBlock(EINTR));
  EXPECT_FALSE(WouldBlock(ECONNRESET));
}

TEST(Sockets, FindHostAddressesFillsSlotsAndCounts) {
  char slots[1][16];
  int count = 1;
  if (FindHostAddresses(slots, &count) != 0) GTEST_SKIP() << "host name does not resolve here";
  EXPECT_GE(count, 1);
  EXPECT_GT(strlen(slots[0]), 6u);
}

TEST(Sockets, SendToClosedPeerDoesNotRaiseSigpipe) {
  unsigned port = harness::FreePort();
  int stage = 0;
  int l = ListenOn("127.0.0.1", port, 5, &stage);
  ASSERT_GE(l, 0);
  harness::Conn c;
  ASSERT_TRUE(c.Connect(port));
  int fd = -1;
  ASSERT_TRUE(harness::WaitFor([&] { return (fd = AcceptFrom(l, 1 << 20, nullptr)) >= 0; }));
  c.Reset();
  char buf[4096] = {0};
  ssize_t r = 0;
  // Keep sending until the reset is seen; without MSG_NOSIGNAL this kills us.
  harness::WaitFor([&] { return (r = SendBytes(fd, buf, sizeof buf)) < 0; }, 5);
  EXPECT_LT(r, 0);
  close(fd);
  close(l);
}

// A peer that keeps writing must not hold the server inside the drain: it
// stops after 64 reads of 256 bytes and leaves the rest unread.
TEST(Sockets, DrainOnCloseIsBounded) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  const size_t sent = 64 * 1024;
  std::string block(sent, 'x');
  ASSERT_EQ(send(pair[1], block.data(), block.size(), 0), (ssize_t)sent);
  EXPECT_EQ(DrainBounded(pair[0]), (size_t)(kDrainReads * kDrainPiece));
  // What the bound left is still waiting.
  size_t left = 0;
  char buf[4096];
  ssize_t n;
  while ((n = recv(pair[0], buf, sizeof buf, MSG_DONTWAIT)) > 0) left += (size_t)n;
  EXPECT_EQ(left, sent - 16384);
  // Nothing waiting: the drain returns at once without blocking.
  EXPECT_EQ(DrainBounded(pair[0]), 0u);
  close(pair[1]);
  close(pair[0]);
}
