// mirt's connections: reading the head, the access log, rotation, the idle
// check, the connection limit and shutdown.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>
#include <chrono>
#include <thread>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"
#include "mirt_fixture.h"

using harness::Conn;
using harness::WaitFor;
using mirt_test::MirtTest;
using mirt_test::OpenFds;
using mirt_test::ParseReply;
using mirt_test::Reply;

namespace {

class MirtLoop : public MirtTest {
 protected:
  void SetUp() override { Put("a.txt", "alpha\n"); }
  // Waits until mirt holds `n` more descriptors than `base` (a connection
  // accepted shows up as one more).
  bool FdsReach(int base, int n) {
    return WaitFor([&] { return OpenFds(server.proc.pid()) == base + n; }, 5);
  }
  long CpuTicks() {
    std::ifstream f("/proc/" + std::to_string(server.proc.pid()) + "/stat");
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::istringstream in(all.substr(all.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; i++) {
      if (i == 14) utime = std::stol(field);
      if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
  }
};

const char kDate[] = R"(\[(Sun|Mon|Tue|Wed|Thu|Fri|Sat), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d\])";

TEST_F(MirtLoop, HeadSplitOverSegmentsIsAnsweredWhenComplete) {
  ASSERT_TRUE(Start());
  Conn c;
  ASSERT_TRUE(c.Connect(port));
  ASSERT_TRUE(c.Send("GET /a.txt HT"));
  ASSERT_TRUE(c.Send("TP/1.0\r\nUser-Agent: x\r\n\r"));
  // Nothing may come before the empty line is complete.
  EXPECT_EQ(c.ReadN(1, 0.3), "");
  ASSERT_TRUE(c.Send("\n"));
  Reply r = ParseReply(c.ReadAll());
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "alpha\n");
}

TEST_F(MirtLoop, HeadWithoutEmptyLineIsRefusedWhenItFillsTheBuffer) {
  ASSERT_TRUE(Start());
  std::string head = "GET /a.txt HTTP/1.0\r\nX-Filler: ";
  head += std::string(16384 - head.size() - 1, 'f');
  Conn c;
  ASSERT_TRUE(c.Connect(port));
  ASSERT_TRUE(c.Send(head));
  EXPECT_EQ(c.ReadN(1, 0.3), "");  // a byte short of 16 KiB: still reading
  ASSERT_TRUE(c.Send("g"));
  // Never served cut: a field past the end would be lost without a word.
  Reply r = ParseReply(c.ReadAll());
  EXPECT_EQ(r.status, 431);
  EXPECT_EQ(r.Header("Connection"), "close");
}

TEST_F(MirtLoop, AccessLogLines) {
  ASSERT_TRUE(Start());
  std::string raw = Raw("GET /a.txt HTTP/1.0\r\n\r\n");
  {
    Conn c;  // connects and closes without a byte
    ASSERT_TRUE(c.Connect(port));
    c.Close();
  }
  // The connection above sent nothing and is not logged.
  Raw("GET\r\n\r\n");                          // no target
  Raw("G\x01T /x HTTP/1.0\r\n\r\n");          // control bytes in the method
  Raw("GET /x%7Fy\x02 HTTP/1.0\r\n\r\n");     // and in the path, decoded too
  ASSERT_EQ(Stop(), 0);
  std::string log = Log();
  std::string lines[4];
  std::istringstream in(log);
  for (auto &l : lines) std::getline(in, l);
  std::string rest;
  EXPECT_FALSE(std::getline(in, rest)) << log;
  std::string d = kDate;
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("127\\.0\\.0\\.1 " + d +
        " GET /a\\.txt 200 " + std::to_string(raw.size()))))
      << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex("127\\.0\\.0\\.1 " + d + " GET  400 \\d+")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(lines[2], std::regex("127\\.0\\.0\\.1 " + d +
        " G%01T  501 \\d+")))
      << lines[2];
  EXPECT_TRUE(std::regex_match(lines[3], std::regex("127\\.0\\.0\\.1 " + d +
        " GET /x%7Fy%02 403 \\d+")))
      << lines[3];
}

TEST_F(MirtLoop, AccessLineReachesTheFileOnceQuiet) {
  ASSERT_TRUE(Start());
  Raw("GET /a.txt HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(WaitFor([&] { return Log().find(" GET /a.txt 200 ") != std::string::npos; }, 5))
      << Log();
}

TEST_F(MirtLoop, LogRotationByCount) {
  ASSERT_TRUE(Start("LogRotation=3\nLogMaxEntries=2\n"));
  for (int i = 1; i <= 6; i++) Raw("GET /a" + std::to_string(i) + ".txt HTTP/1.0\r\n\r\n");
  ASSERT_EQ(Stop(), 0);
  auto paths = [](const std::string &log) {
    std::string out;
    for (size_t at = log.find(" /a"); at != std::string::npos;
         at = log.find(" /a", at + 1))
      out += log[at + 3];
    return out;
  };
  // The line that makes rotation due opens the next file; the ring wraps.
  EXPECT_EQ(paths(Log(1)), "6");
  EXPECT_EQ(paths(Log(2)), "23");
  EXPECT_EQ(paths(Log(3)), "45");
}

TEST_F(MirtLoop, IdleConnectionsAreClosed) {
  ASSERT_TRUE(Start("Timeout=1\n"));
  Conn silent, partial;
  ASSERT_TRUE(silent.Connect(port));
  ASSERT_TRUE(partial.Connect(port));
  ASSERT_TRUE(partial.Send("GET /a.txt HTTP/1.0\r\n"));
  EXPECT_TRUE(silent.Closed(6));
  EXPECT_TRUE(partial.Closed(6));
  ASSERT_EQ(Stop(), 0);
  std::string log = Log();
  // The silent one is not logged, the partial head timed out.
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
  EXPECT_NE(log.find("]   408 0\n"), std::string::npos) << log;
}

TEST_F(MirtLoop, FullServerLeavesClientInBacklogWithoutSpinning) {
  ASSERT_TRUE(Start("MaxConnections=1\n"));
  int base = OpenFds(server.proc.pid());
  Conn first, second;
  ASSERT_TRUE(first.Connect(port));
  ASSERT_TRUE(FdsReach(base, 1));
  ASSERT_TRUE(second.Connect(port));  // completed by the kernel's queue
  ASSERT_TRUE(second.Send("GET /a.txt HTTP/1.0\r\n\r\n"));
  long before = CpuTicks();
  EXPECT_EQ(second.ReadN(1, 1.0), "");
  // A loop waiting on a listening socket it may not serve would burn a
  // whole second of processor time here.
  EXPECT_LT(CpuTicks() - before, 30);
  EXPECT_EQ(OpenFds(server.proc.pid()), base + 1);
  first.Close();
  Reply r = ParseReply(second.ReadAll());
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "alpha\n");
}

TEST_F(MirtLoop, UrgentDataDoesNotMakeTheLoopSpin) {
  std::string path = Root() + "/big.bin";
  harness::WriteFile(path, "");
  ASSERT_EQ(truncate(path.c_str(), 64 << 20), 0);
  ASSERT_TRUE(Start());
  Conn idle, slow;
  ASSERT_TRUE(idle.Connect(port));
  ASSERT_EQ(send(idle.fd(), "!", 1, MSG_OOB), 1);
  ASSERT_TRUE(slow.Connect(port));
  ASSERT_TRUE(slow.Send("GET /big.bin HTTP/1.0\r\n\r\n"));
  ASSERT_EQ(send(slow.fd(), "!", 1, MSG_OOB), 1);
  ASSERT_EQ(slow.ReadLine(), "HTTP/1.0 200 Ok\r\n");
  // Let the socket buffers fill; from then on mirt waits for the reader.
  ASSERT_TRUE(WaitFor([&] {
    long a = CpuTicks();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return CpuTicks() - a <= 2;
  }, 5));
  long before = CpuTicks();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_LT(CpuTicks() - before, 30);
}

TEST_F(MirtLoop, SigtermLogsOpenConnections) {
  ASSERT_TRUE(Start());
  int base = OpenFds(server.proc.pid());
  Conn c;
  ASSERT_TRUE(c.Connect(port));
  ASSERT_TRUE(c.Send("GET /a"));
  ASSERT_TRUE(FdsReach(base, 1));
  EXPECT_EQ(Stop(), 0);
  EXPECT_TRUE(c.Closed(2));
  EXPECT_NE(server.proc.Stdout().find("Server terminated...\n"), std::string::npos);
  std::string log = Log();
  EXPECT_TRUE(std::regex_match(log, std::regex("127\\.0\\.0\\.1 " + std::string(kDate) +
        "   408 0\n")))
      << log;
}

TEST_F(MirtLoop, ManyClientsAtOnce) {
  Put("big.bin", mirt_test::Bytes(300000));
  ASSERT_TRUE(Start());
  std::vector<Conn> conns(12);
  for (auto &c : conns) {
    ASSERT_TRUE(c.Connect(port));
    ASSERT_TRUE(c.Send("GET /big.bin HTTP/1.0\r\n\r\n"));
  }
  std::string want = mirt_test::Bytes(300000);
  for (auto &c : conns) EXPECT_EQ(ParseReply(c.ReadAll()).body, want);
}

}  // namespace

namespace {

// Reads a connection as fast as it delivers, in a thread of its own, until
// told to stop or the peer closes.
struct Drain {
  explicit Drain(int fd) : fd(fd), worker([this] { Run(); }) {}
  ~Drain() {
    stop = true;
    worker.join();
  }
  void Run() {
    struct timeval tv = {0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[1 << 16];
    while (!stop) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
      if (n > 0) got += (uint64_t)n;
    }
    ended = true;
  }
  int fd;
  std::atomic<uint64_t> got{0};
  std::atomic<bool> stop{false}, ended{false};
  std::thread worker;
};

}  // namespace

// A download that could fill every pass of the loop (a reader that takes
// all it gets, a file beyond 4 GiB) still leaves room for a second client:
// its small request is answered at once, while the download goes on.
TEST_F(MirtLoop, SmallRequestIsAnsweredWhileALargeDownloadRuns) {
  std::string path = Root() + "/huge.bin";
  harness::WriteFile(path, "");
  if (truncate(path.c_str(), (off_t)5 << 30) != 0)
    GTEST_SKIP() << "no room for a sparse file of 5 GiB";
  ASSERT_TRUE(Start());
  Conn big;
  ASSERT_TRUE(big.Connect(port));
  ASSERT_TRUE(big.Send("GET /huge.bin HTTP/1.0\r\n\r\n"));
  Drain drain(big.fd());
  ASSERT_TRUE(WaitFor([&] { return drain.got >= (8u << 20); }, 10));

  auto start = std::chrono::steady_clock::now();
  Reply r = Get("/a.txt");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "alpha\n");
  EXPECT_LT(seconds, 1.0);
  uint64_t then = drain.got;
  EXPECT_FALSE(drain.ended);
  EXPECT_LT(then, (uint64_t)5 << 30);
  // And the download was not dropped for it.
  EXPECT_TRUE(WaitFor([&] { return drain.got > then + (1u << 20); }, 10));
}
