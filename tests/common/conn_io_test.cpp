// The connection I/O layer on real loopback sockets: "would block" with
// what to wait for, files sent from their position, the bounded drain.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <string>

#include "addresses.h"
#include "conn_io.h"
#include "event_loop.h"
#include "harness.h"
#include "sockets.h"

namespace {

// A listening socket and one accepted, non-blocking server side.
struct Link {
  int listener = -1;
  int server = -1;
  harness::Conn client;
  bool Open() {
    unsigned port = harness::FreePort();
    int stage = 0;
    listener = ListenOn("127.0.0.1", port, 5, &stage);
    if (listener < 0 || !client.Connect(port)) return false;
    return harness::WaitFor(
        [&] { return (server = AcceptFrom(listener, 1 << 20, nullptr)) >= 0; }, 5);
  }
  ~Link() {
    if (server >= 0) close(server);
    if (listener >= 0) close(listener);
  }
};

}  // namespace

TEST(ConnIo, ReadTellsWaitEndAndData) {
  Link link;
  ASSERT_TRUE(link.Open());
  ConnIo io;
  ConnOpen(&io, link.server);
  char buf[16];
  EXPECT_EQ(ConnRead(&io, buf, sizeof buf), kConnWait);
  EXPECT_EQ(io.want, (int)kLoopReadable);
  ASSERT_TRUE(link.client.Send("hello"));
  ssize_t n = 0;
  ASSERT_TRUE(harness::WaitFor([&] { return (n = ConnRead(&io, buf, sizeof buf)) > 0; }, 5));
  EXPECT_EQ(std::string(buf, (size_t)n), "hello");
  link.client.Close();
  ASSERT_TRUE(harness::WaitFor([&] { return ConnRead(&io, buf, sizeof buf) == 0; }, 5));
  link.server = -1;
  EXPECT_EQ(ConnClose(&io), 0);
  EXPECT_EQ(io.fd, -1);
  EXPECT_EQ(ConnClose(&io), 0);  // closing twice is harmless
}

TEST(ConnIo, WriteGathersPiecesAndWaitsWhenFull) {
  Link link;
  ASSERT_TRUE(link.Open());
  ConnIo io;
  ConnOpen(&io, link.server);
  struct iovec parts[2] = {{(void *)"head|", 5}, {(void *)"body", 4}};
  EXPECT_EQ(ConnWrite(&io, parts, 2), 9);
  EXPECT_EQ(link.client.ReadN(9), "head|body");
  // The client reads nothing more: the socket fills and the layer says so.
  std::string block(64 * 1024, 'z');
  struct iovec one = {&block[0], block.size()};
  ssize_t n = 0;
  for (int i = 0; i < 10000 && (n = ConnWrite(&io, &one, 1)) > 0; i++) {
  }
  EXPECT_EQ(n, kConnWait);
  EXPECT_EQ(io.want, (int)kLoopWritable);
}

TEST(ConnIo, SendFileMovesTheFilePositionByWhatWasSent) {
  Link link;
  ASSERT_TRUE(link.Open());
  harness::TempDir dir;
  harness::WriteFile(dir / "f", "0123456789abcdef");
  int file = open((dir / "f").c_str(), O_RDONLY);
  ASSERT_GE(file, 0);
  ConnIo io;
  ConnOpen(&io, link.server);
  EXPECT_EQ(ConnSendFile(&io, file, 10), 10);
  EXPECT_EQ(lseek(file, 0, SEEK_CUR), 10);
  EXPECT_EQ(ConnSendFile(&io, file, 100), 6);
  EXPECT_EQ(ConnSendFile(&io, file, 100), 0);  // the file has ended
  EXPECT_EQ(link.client.ReadN(16), "0123456789abcdef");
  close(file);
}

// Unread request bytes at the close must not turn the end into a reset
// that destroys the answer the peer has not read yet; a peer that sent far
// more than the drain takes is closed all the same.
TEST(ConnIo, CloseDrainsABoundedAmountAndEndsWithAFin) {
  Link link;
  ASSERT_TRUE(link.Open());
  ConnIo io;
  ConnOpen(&io, link.server);
  ASSERT_TRUE(link.client.Send("GET /next HTTP/1.1\r\n\r\n"));
  struct iovec answer = {(void *)"answer", 6};
  ASSERT_EQ(ConnWrite(&io, &answer, 1), 6);
  char peek;
  ASSERT_TRUE(harness::WaitFor([&] { return recv(link.server, &peek, 1, MSG_PEEK) == 1; }, 5));
  EXPECT_EQ(ConnClose(&io), 0);
  link.server = -1;
  EXPECT_EQ(link.client.ReadAll(5), "answer");

  Link flood;
  ASSERT_TRUE(flood.Open());
  int big = 4 << 20;
  setsockopt(flood.client.fd(), SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  std::string lots(1 << 20, 'q');
  SetNonBlocking(flood.client.fd());
  size_t queued = 0;
  for (int i = 0; i < 64; i++) {
    ssize_t n = send(flood.client.fd(), lots.data(), lots.size(), MSG_NOSIGNAL);
    if (n <= 0) break;
    queued += (size_t)n;
  }
  ASSERT_GT(queued, 256u * 1024);
  ConnOpen(&io, flood.server);
  int64_t start = LoopNowMs();
  EXPECT_EQ(ConnClose(&io), 0);
  flood.server = -1;
  EXPECT_LT(LoopNowMs() - start, 1000);
}
