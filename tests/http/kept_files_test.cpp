// Small files are kept open between requests. Whatever happens to a kept
// file's path between two requests, the next answer is the one a fresh
// open would give: changed contents, a file renamed over it, a link that
// leads out of the root, a removal, a directory on its path renamed, its
// mode, a variant made beside it, growth past the kept size.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "harness.h"
#include "mirt_fixture.h"

using harness::Conn;
using mirt_test::MirtTest;
using mirt_test::ParseReply;
using mirt_test::Reply;

namespace {

// One answer on a connection that stays open (head, then Content-length
// bytes unless the request was a HEAD).
Reply ReadOne(Conn &c, bool head = false) {
  std::string raw;
  for (;;) {
    std::string line = c.ReadLine(5);
    if (line.empty()) return ParseReply(raw);
    raw += line;
    if (line == "\r\n") break;
  }
  Reply r = ParseReply(raw);
  if (!head && r.Has("Content-length"))
    raw += c.ReadN(std::stoul(r.Header("Content-length")), 5);
  return ParseReply(raw);
}

Reply Ask(Conn &c, const std::string &path, const std::string &extra = "",
          const std::string &method = "GET") {
  EXPECT_TRUE(c.Send(method + " " + path + " HTTP/1.1\r\nHost: x\r\n" + extra + "\r\n"));
  return ReadOne(c, method == "HEAD");
}

class MirtKeptFiles : public MirtTest {};

TEST_F(MirtKeptFiles, EachAnswerIsWhatAFreshOpenGives) {
  Put("a.txt", "first");
  Put("b.txt", "other contents");
  harness::WriteFile(site / "outside.txt", "OUTSIDE");
  ASSERT_TRUE(Start());
  Conn c;
  ASSERT_TRUE(c.Connect(port));
  EXPECT_EQ(Ask(c, "/a.txt").body, "first");
  EXPECT_EQ(Ask(c, "/a.txt").body, "first");
  // Rewritten in place, same size, its times put back as they were.
  struct stat before;
  ASSERT_EQ(stat((Root() + "/a.txt").c_str(), &before), 0);
  Put("a.txt", "FIRST");
  struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, (Root() + "/a.txt").c_str(), times, 0), 0);
  Reply r = Ask(c, "/a.txt");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "FIRST");
  EXPECT_EQ(Ask(c, "/a.txt", "Range: bytes=1-3\r\n").body, "IRS");
  r = Ask(c, "/a.txt", "", "HEAD");
  EXPECT_EQ(r.Header("Content-length"), "5");
  EXPECT_EQ(r.body, "");
  // Another file renamed over it.
  ASSERT_EQ(rename((Root() + "/b.txt").c_str(), (Root() + "/a.txt").c_str()), 0);
  EXPECT_EQ(Ask(c, "/a.txt").body, "other contents");
  // A link that leads out of the root is a name that is not there.
  ASSERT_EQ(unlink((Root() + "/a.txt").c_str()), 0);
  ASSERT_EQ(symlink((site / "outside.txt").c_str(), (Root() + "/a.txt").c_str()), 0);
  r = Ask(c, "/a.txt");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body.find("OUTSIDE"), std::string::npos);
  ASSERT_EQ(unlink((Root() + "/a.txt").c_str()), 0);
  EXPECT_EQ(Ask(c, "/a.txt").status, 404);
  // Directories on the path renamed, at any depth, and others made in
  // their place.
  Put("p/q/r.txt", "one");
  EXPECT_EQ(Ask(c, "/p/q/r.txt").body, "one");
  ASSERT_EQ(rename((Root() + "/p").c_str(), (Root() + "/p1").c_str()), 0);
  EXPECT_EQ(Ask(c, "/p/q/r.txt").status, 404);
  EXPECT_EQ(Ask(c, "/p1/q/r.txt").body, "one");
  ASSERT_EQ(rename((Root() + "/p1/q").c_str(), (Root() + "/p1/q1").c_str()), 0);
  Put("p1/q/r.txt", "two");
  EXPECT_EQ(Ask(c, "/p1/q/r.txt").body, "two");
  // Made unreadable: what a fresh open by this user gives (root reads on).
  ASSERT_EQ(chmod((Root() + "/p1/q/r.txt").c_str(), 0), 0);
  int probe = open((Root() + "/p1/q/r.txt").c_str(), O_RDONLY);
  EXPECT_EQ(Ask(c, "/p1/q/r.txt").status, probe >= 0 ? 200 : 403);
  if (probe >= 0) close(probe);
  // A compressed variant made beside a file kept without one.
  EXPECT_EQ(Ask(c, "/p1/q1/r.txt", "Accept-Encoding: gzip\r\n").Header("Content-encoding"), "");
  Put("p1/q1/r.txt.gz", "zipped");
  EXPECT_EQ(Ask(c, "/p1/q1/r.txt", "Accept-Encoding: gzip\r\n").body, "zipped");
  // A kept file whose directory is moved out of the root and linked back.
  Put("d/k.txt", "kept");
  EXPECT_EQ(Ask(c, "/d/k.txt").body, "kept");
  ASSERT_EQ(rename((Root() + "/d").c_str(), (site / "moved").c_str()), 0);
  ASSERT_EQ(symlink((site / "moved").c_str(), (Root() + "/d").c_str()), 0);
  EXPECT_EQ(Ask(c, "/d/k.txt").status, 404);
  // Grown past what is kept: sent whole all the same.
  std::string big = mirt_test::Bytes(300000, 5);
  Put("a.txt", "small");
  EXPECT_EQ(Ask(c, "/a.txt").body, "small");
  Put("a.txt", big);
  r = Ask(c, "/a.txt");
  EXPECT_EQ(r.Header("Content-length"), std::to_string(big.size()));
  EXPECT_TRUE(r.body == big);

  // A kept file's header is kept with it: the next answer gets that
  // header with its own Date, and its own protocol and Connection lines.
  Put("k.txt", "kk");
  Reply first = Ask(c, "/k.txt");
  std::string head;
  EXPECT_TRUE(harness::WaitFor([&] {
    head = Ask(c, "/k.txt").head;
    return head.find("Date: " + first.Header("Date")) == std::string::npos;
  }));
  auto withoutDate = [](std::string text) {
    size_t at = text.find("Date: ");
    return at == std::string::npos ? text : text.erase(at, text.find("\r\n", at) - at);
  };
  EXPECT_EQ(withoutDate(head), withoutDate(first.head));
  Conn old;
  ASSERT_TRUE(old.Connect(port));
  ASSERT_TRUE(old.Send("GET /k.txt HTTP/1.0\r\n\r\n"));
  r = ParseReply(old.ReadAll(5));
  EXPECT_EQ(r.statusLine.rfind("HTTP/1.0 200", 0), 0u) << r.statusLine;
  EXPECT_EQ(r.Header("Connection"), "close");
  r = Ask(c, "/k.txt", "Connection: close\r\n");
  EXPECT_EQ(r.Header("Connection"), "close");
  EXPECT_EQ(r.body, "kk");
}

TEST_F(MirtKeptFiles, MoreFilesThanAreKeptAndClientsSharingThem) {
  const int kFiles = 80;
  for (int i = 0; i < kFiles; i++) Put("f" + std::to_string(i) + ".txt", "file " + std::to_string(i));
  ASSERT_TRUE(Start());
  int fds = mirt_test::OpenFds(server.proc.pid());
  Conn a, b;
  ASSERT_TRUE(a.Connect(port));
  ASSERT_TRUE(b.Connect(port));
  for (int round = 0; round < 2; round++) {
    for (int i = 0; i < kFiles; i++) {
      std::string name = "/f" + std::to_string(i) + ".txt";
      // Both clients ask before either reads: one kept descriptor serves
      // two answers at once, each from its own offset.
      ASSERT_TRUE(a.Send("GET " + name + " HTTP/1.1\r\nHost: x\r\n\r\n"));
      ASSERT_TRUE(b.Send("GET " + name + " HTTP/1.1\r\nHost: x\r\nRange: bytes=5-\r\n\r\n"));
      ASSERT_EQ(ReadOne(a).body, "file " + std::to_string(i));
      ASSERT_EQ(ReadOne(b).body, std::to_string(i));
    }
  }
  // The descriptors kept are bounded, whatever the number of files, and
  // released a few seconds after their files were last asked for.
  int pid = server.proc.pid();
  EXPECT_LE(mirt_test::OpenFds(pid), fds + 40);
  a.Close();
  b.Close();
  EXPECT_TRUE(harness::WaitFor([&] { return mirt_test::OpenFds(pid) <= fds; }, 15))
      << mirt_test::OpenFds(pid) << " > " << fds;
}

}  // namespace
