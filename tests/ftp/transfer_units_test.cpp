// The pieces of the transfer code with arithmetic of their own, run
// in-process: the throttle's window, the listing lines, the one final reply
// of a transfer, and listings of deep directories.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "harness.h"
#include "quota_records.h"
#include "listing.h"
#include "session_fixture.h"
#include "throttle.h"
#include "transfers.h"

namespace {

// Operations a window lets through when each moves `count` bytes.
int PassesPerWindow(Server *s, uint64_t count, time_t now) {
  int passed = 0;
  while (ThrottleGate(s, count, now) == 0) {
    passed++;
    if (passed > 1000) break;
  }
  return passed;
}

Server ThrottledServer(uint64_t kilobytes) {
  Server s;
  memset(&s, 0, sizeof s);
  s.maxBandwidth = kilobytes * 1024;
  s.bandwidthStart = 100;
  return s;
}

}  // namespace

TEST(FtpThrottle, TenKilobytesMoveFiveBuffersPerWindow) {
  Server s = ThrottledServer(10);
  // The first operation of a window is not counted; four more go while
  // the count stays below 10240; the one that reaches it waits.
  EXPECT_EQ(PassesPerWindow(&s, 2048, 101), 5);
  EXPECT_EQ(s.bandwidthBytes, 10240u);
  EXPECT_EQ(ThrottleGate(&s, 2048, 101), -1);
  EXPECT_EQ(PassesPerWindow(&s, 2048, 102), 5);
  // Smaller pieces (partial sends) count by what they move.
  EXPECT_EQ(PassesPerWindow(&s, 1000, 103), 11);
}

TEST(FtpThrottle, LimitBelowOneBufferMovesOneBufferPerWindow) {
  Server s = ThrottledServer(1);
  EXPECT_EQ(PassesPerWindow(&s, 2048, 101), 1);
  EXPECT_EQ(PassesPerWindow(&s, 2048, 101), 0);
  EXPECT_EQ(PassesPerWindow(&s, 2048, 102), 1);
}

TEST(FtpThrottle, ClockSetBackOpensANewWindow) {
  Server s = ThrottledServer(1);
  EXPECT_EQ(PassesPerWindow(&s, 2048, 500), 1);
  // Waiting for second 501 after the clock went back to 400 would stall
  // every throttled transfer for 100 seconds.
  EXPECT_EQ(PassesPerWindow(&s, 2048, 400), 1);
  EXPECT_EQ(s.bandwidthStart, 400);
}

TEST(FtpThrottle, WaitingSessionsAndTheLoopTimeout) {
  TestSession t;
  t.server.maxBandwidth = 1024;
  t.req->login.fullBandwidth = '0';
  t.req->xfer.io.fd = -1;
  EXPECT_TRUE(Throttled(t.req));
  t.req->login.fullBandwidth = '1';
  EXPECT_FALSE(Throttled(t.req));
  t.req->login.fullBandwidth = '0';
  // Spend the window that begins now.
  EXPECT_EQ(Throttle(t.req, 2048), 0);
  EXPECT_EQ(Throttle(t.req, 2048), -1);
  EXPECT_TRUE(ThrottleWaits(t.req));
  struct timeval timeout = {1, 0};
  ThrottleTimeout(&t.server, &timeout);
  // Woken just after the turn of the second, never later than before.
  EXPECT_EQ(timeout.tv_sec, 0);
  EXPECT_GT(timeout.tv_usec, 0);
  EXPECT_LE(timeout.tv_usec, 1001000);
  // An exempt session never waits.
  t.req->login.fullBandwidth = '1';
  EXPECT_FALSE(ThrottleWaits(t.req));
}

TEST(FtpListLine, FormatsOfFilesAndDirectories) {
  char out[2048];
  time_t march5 = 1741183620;  // 2025-03-05 14:07:00 UTC
  ASSERT_EQ(FormatListLine(out, sizeof out, "a.txt", S_IFREG | 0644, 1234, march5), 66);
  EXPECT_STREQ(out, "-rw-r--r--   1 owner    group            1234 Mar 05 14:07 a.txt\r\n");
  FormatListLine(out, sizeof out, "pub", S_IFDIR | 0755, 4096, march5);
  EXPECT_STREQ(out, "drwxr-xr-x   1 owner    group               0 Mar 05 14:07 pub\r\n");
  // Every bit in its column, the special ones over the execute columns.
  FormatListLine(out, sizeof out, "x", S_IFREG | 04751, 1, march5);
  EXPECT_EQ(std::string(out, 10), "-rwsr-x--x");
  FormatListLine(out, sizeof out, "t", S_IFDIR | 03060, 1, march5);
  EXPECT_EQ(std::string(out, 10), "d---rwS--T");
  FormatListLine(out, sizeof out, "none", S_IFREG, 1, march5);
  EXPECT_EQ(std::string(out, 10), "----------");
  // Sizes beyond 32 bits are shown whole.
  FormatListLine(out, sizeof out, "big", S_IFREG | 0600, 5368709130ull, march5);
  EXPECT_STREQ(out, "-rw-------   1 owner    group      5368709130 Mar 05 14:07 big\r\n");
  FormatListLine(out, sizeof out, "huge", S_IFREG | 0600, 18446744073709551615ull, march5);
  EXPECT_STREQ(out, "-rw-------   1 owner    group   18446744073709551615 Mar 05 14:07 huge\r\n");
  // A line that does not fit is not cut: there is none.
  EXPECT_EQ(FormatListLine(out, 40, "a.txt", S_IFREG | 0644, 1, march5), 0);
}

namespace {

// A connected pair: the session's end goes into the Request, the test
// keeps the other.
struct Pair {
  int fds[2] = {-1, -1};
  Pair() { socketpair(AF_UNIX, SOCK_STREAM, 0, fds); }
  ~Pair() { close(fds[1]); }  // fds[0] belongs to the session
  std::string Read() {
    std::string all;
    char buf[4096];
    for (;;) {
      ssize_t n = recv(fds[1], buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0) break;
      all.append(buf, (size_t)n);
    }
    return all;
  }
};

// Sends whatever the channel holds, then the held-back final reply, as
// the loop does when the command socket is writable.
void Flush(Request *req) {
  for (int i = 0; i < 3; i++) {
    OnWriteCmnd(req);
    SendPendingReply(req);
  }
}

}  // namespace

TEST(FtpFinalReply, WaitsForTheReplyBeingSent) {
  TestSession t;
  Pair control;
  t.req->cmnd.io.fd = control.fds[0];
  SendFTPstring(t.req, "200 Zzzzz...\n");  // a NOOP answered mid-transfer
  SendFinalReply(t.req, Mess226);
  Flush(t.req);
  EXPECT_EQ(control.Read(), "200 Zzzzz...\r\n226 Transfer complete.\r\n");
  // With the channel free it goes out at once.
  SendFinalReply(t.req, Mess451);
  Flush(t.req);
  EXPECT_EQ(control.Read(), "451 Requested action aborted, local error in processing.\r\n");
}

TEST(FtpFinalReply, QuotaRefusalIsTheOnlyFinalReplyEvenWhenItWaits) {
  TestSession t;
  Pair control, data;
  harness::TempDir dir;
  std::string path = dir / "upload";
  t.req->cmnd.io.fd = control.fds[0];
  t.req->xfer.io.fd = data.fds[0];
  fcntl(data.fds[0], F_SETFL, O_NONBLOCK);  // as the server's sockets are
  t.req->xfer.file = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  t.req->xfer.state = kDataReceiving;
  GiveQuota(t.req, 5000, 0);
  std::string bytes(10000, 'q');
  ASSERT_EQ(send(data.fds[1], bytes.data(), bytes.size(), 0), (ssize_t)bytes.size());
  SendFTPstring(t.req, "200 Zzzzz...\n");
  // The refusal waits for the client's end of stream.
  for (int i = 0; i < 10; i++) PumpTransfer(t.req);
  EXPECT_NE(t.req->xfer.io.fd, -1);
  shutdown(data.fds[1], SHUT_WR);
  for (int i = 0; i < 10 && t.req->xfer.io.fd != -1; i++) PumpTransfer(t.req);
  EXPECT_EQ(t.req->xfer.io.fd, -1);
  Flush(t.req);
  EXPECT_EQ(control.Read(), "200 Zzzzz...\r\n452 Disk quota reached.\r\n");
  // Two whole buffers fit below the quota of 5000 bytes.
  EXPECT_EQ(harness::ReadFile(path), std::string(4096, 'q'));
  EXPECT_EQ(DiskUsage(t.req), 4096u);
}

TEST(FtpListingBuffer, EntriesOfADeepDirectoryAreAllListed) {
  harness::TempDir dir;
  // root + cwd of about 730 characters: entries are looked at inside the
  // open directory, so a long name is listed as well as a short one.
  std::string root = dir / std::string(200, 'r');
  std::string cwd = "/" + std::string(200, 'c') + "/" + std::string(200, 'c') + "/" +
                    std::string(100, 'c') + "/";
  ASSERT_LT(root.size() + cwd.size(), 768u);
  harness::MakeDirs(root + cwd);
  harness::WriteFile(root + cwd + "short", "12345");
  harness::WriteFile(root + cwd + std::string(200, 'L'), "x");
  TestSession t;
  t.req->login.root = root;
  t.req->login.cwd = cwd;
  ASSERT_EQ(InitDirList(t.req), 150);
  std::string listing;
  int calls = 0;
  while (GenerateDirectoryListing(t.req) == 0 && calls++ < 100)
    listing.append(t.req->xfer.bufs->buffer, (size_t)t.req->xfer.length);
  EXPECT_EQ(t.req->xfer.length, 0);
  EXPECT_EQ(t.req->xfer.dir, nullptr);  // closed at the end
  // Its buffers go back with it.
  DropTransfer(t.req);
  EXPECT_EQ(t.req->xfer.bufs, nullptr);
  EXPECT_EQ(t.req->pConfig->xferBlocks.lent, 0u);
  EXPECT_NE(listing.find("               5 "), std::string::npos) << listing;
  EXPECT_NE(listing.find(" short\r\n"), std::string::npos);
  EXPECT_NE(listing.find(" " + std::string(200, 'L') + "\r\n"), std::string::npos);
}

namespace {

// Runs the upload pump over a socket pair until it stops; returns the
// reply the client gets at the end.
std::string UploadInto(TestSession &t, int fileFd, const std::string &bytes) {
  Pair control, data;
  t.req->cmnd.io.fd = control.fds[0];
  t.req->xfer.io.fd = data.fds[0];
  t.req->xfer.file = fileFd;
  t.req->xfer.state = kDataReceiving;
  send(data.fds[1], bytes.data(), bytes.size(), 0);
  shutdown(data.fds[1], SHUT_WR);
  for (int i = 0; i < 10 && t.req->xfer.io.fd != -1; i++) PumpTransfer(t.req);
  Flush(t.req);
  std::string reply = control.Read();
  // The session's ends are closed here, before the pairs go.
  CloseDataConnection(t.req);
  CloseDataFile(t.req);
  CloseCmndConnection(t.req);
  return reply;
}

}  // namespace

TEST(FtpUploadErrors, FailedAndShortWritesAreReported) {
  {
    TestSession t;
    int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    EXPECT_EQ(UploadInto(t, full, "data"), "451 Error writing to file.\r\n");
  }
  {
    // A pipe with room for less than the upload takes part of it: a short
    // write, an error in binary and ASCII mode alike.
    TestSession t;
    t.req->binaryMode = '0';
    GiveQuota(t.req, 1 << 20, 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    int room = fcntl(fds[1], F_GETPIPE_SZ);
    ASSERT_GT(room, 1000);
    std::string filler((size_t)room - 1000, 'f');
    ASSERT_EQ(write(fds[1], filler.data(), filler.size()), (ssize_t)filler.size());
    EXPECT_EQ(UploadInto(t, fds[1], std::string(5000, 'u')),
              "451 Error writing to file (disk full?).\r\n");
    // What was written is counted.
    EXPECT_GT(DiskUsage(t.req), 0u);
    EXPECT_LT(DiskUsage(t.req), 5000u);
    close(fds[0]);
  }
  {
    TestSession t;
    harness::TempDir dir;
    int fd = open((dir / "f").c_str(), O_WRONLY | O_CREAT, 0600);
    EXPECT_EQ(UploadInto(t, fd, "complete"), "226 Transfer complete.\r\n");
    EXPECT_EQ(harness::ReadFile(dir / "f"), "complete");
  }
}
