// mirt with Workers=: several processes serve one site as one server.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "mirt_fixture.h"

using harness::Conn;
using harness::WaitFor;
using mirt_test::MirtTest;
using mirt_test::ParseReply;

namespace {

// The processes a process started, from /proc.
std::vector<pid_t> Children(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
  std::istringstream in(harness::ReadFile(path));
  std::vector<pid_t> out;
  for (pid_t child; in >> child;) out.push_back(child);
  return out;
}

bool Gone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

size_t Count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) n++;
  return n;
}

class MirtWorkers : public MirtTest {
 protected:
  static constexpr int kCap = 4;
  std::string Settings(const std::string &more = "") const {
    return "Workers=2\nMaxPerAddress=" + std::to_string(kCap) + "\nKeepAliveTimeout=60\n" + more;
  }
  // Lines in the log and in the file it was moved to.
  size_t Logged() const {
    std::string text = harness::ReadFile(home / "moved.log") + Log();
    return Count(text, "\n");
  }
  // A persistent connection that has been answered, so its worker surely
  // counts it.
  bool Hold(Conn *c) {
    if (!c->Connect(port)) return false;
    c->Send("GET /a.txt HTTP/1.1\r\nHost: h\r\n\r\n");
    return c->ReadLine() == "HTTP/1.1 200 Ok\r\n";
  }
  // Connections from one address beyond the cap are closed unanswered,
  // whichever worker took them; those below it are served.
  // The requests answered.
  size_t ExpectCapAcrossWorkers() {
    std::vector<Conn> held(kCap);
    for (Conn &c : held) EXPECT_TRUE(Hold(&c));
    for (int i = 0; i < 2 * kCap; i++) EXPECT_EQ(Raw("GET /a.txt HTTP/1.0\r\n\r\n"), "");
    held.pop_back();
    EXPECT_TRUE(WaitFor([&] { return Get("/a.txt").status == 200; }));
    return kCap + 1;
  }
};

// Two workers serve many clients, keep one address to its share in total,
// take a reload (a faulty file keeps them serving), reopen the log, stand
// in for a killed worker without losing its counted connections, and all
// end with the master on SIGTERM. Every request is one whole line of the
// one log.
TEST_F(MirtWorkers, ServeAsOneServer) {
  Put("a.txt", "one");
  ASSERT_TRUE(Start(Settings()));
  const pid_t master = server.proc.pid();
  std::vector<pid_t> workers;
  ASSERT_TRUE(WaitFor([&] { return (workers = Children(master)).size() == 2; }));
  size_t made = 0;
  for (int i = 0; i < 100; i++, made++) ASSERT_EQ(Get("/a.txt").body, "one");

  made += ExpectCapAcrossWorkers();

  // Reload: both workers take the new setting.
  EXPECT_EQ(Get("/").status, 404);
  made++;
  harness::WriteFile(home / "mirt.ini", Ini(Settings("DirectoryListing=1\n")));
  ASSERT_EQ(kill(master, SIGHUP), 0);
  EXPECT_TRUE(WaitFor([&] {
    return Count(server.proc.Stdout(), "Configuration mirt.ini reloaded.\n") == 1;
  }));
  // Each worker reloads on its own once told: soon all answers are new.
  EXPECT_TRUE(WaitFor([&] {
    int listed = 0;
    for (int i = 0; i < 10; i++, made++) listed += Get("/").status == 200;
    return listed == 10;
  }));
  harness::WriteFile(home / "mirt.ini", Ini("Workers=many\n" + Settings("DirectoryListing=1\n")));
  ASSERT_EQ(kill(master, SIGHUP), 0);
  EXPECT_TRUE(WaitFor([&] {
    return server.proc.Stderr().find(
               "Configuration mirt.ini is faulty; the running configuration is kept.\n") !=
           std::string::npos;
  }));
  for (int i = 0; i < 10; i++, made++) EXPECT_EQ(Get("/").status, 200);
  EXPECT_EQ(Count(server.proc.Stdout(), "reloaded"), 1u);

  // Reopen: lines of both workers go to the file of the old name.
  EXPECT_TRUE(WaitFor([&] { return Log().find(" GET / 200 ") != std::string::npos; }));
  std::rename((home / "log0001.log").c_str(), (home / "moved.log").c_str());
  ASSERT_EQ(kill(master, SIGUSR1), 0);
  EXPECT_TRUE(WaitFor([&] {
    made++;
    return Get("/a.txt").status == 200 && Log().find(" GET /a.txt 200 ") != std::string::npos;
  }));

  // A worker killed with connections of the address counted: another takes
  // its place, and the address has its whole share again. (A killed
  // worker's lines not yet written are lost: the kill waits for them.)
  {
    std::vector<Conn> held(kCap);
    for (Conn &c : held) ASSERT_TRUE(Hold(&c));
    made += kCap;
    EXPECT_TRUE(WaitFor([&] { return Logged() == made; })) << Logged() << " " << made;
    ASSERT_EQ(kill(workers[0], SIGKILL), 0);
    ASSERT_EQ(kill(workers[1], SIGKILL), 0);
    for (Conn &c : held) EXPECT_TRUE(c.Closed());
  }
  std::vector<pid_t> now;
  EXPECT_TRUE(WaitFor([&] {
    now = Children(master);
    return now.size() == 2 && now[0] != workers[0] && now[0] != workers[1] &&
           now[1] != workers[0] && now[1] != workers[1];
  }));
  for (pid_t gone : workers)
    EXPECT_NE(server.proc.Stderr().find("Worker " + std::to_string(gone) +
                                        " ended (signal 9, Killed); starting another.\n"),
              std::string::npos)
        << server.proc.Stderr();
  // The stand-ins were started after the reload and serve what it set.
  EXPECT_EQ(Get("/").status, 200);
  made++;
  made += ExpectCapAcrossWorkers();

  EXPECT_EQ(Stop(), 0);
  for (pid_t w : now) EXPECT_TRUE(WaitFor([&] { return Gone(w); }));
  // Every answer is one whole line in one of the two files.
  const std::regex line(R"(127\.0\.0\.1 \[[^\]]+\] GET /(a\.txt)? (200|404) \d+)");
  std::istringstream in(harness::ReadFile(home / "moved.log") + Log());
  for (std::string text; std::getline(in, text);)
    EXPECT_TRUE(std::regex_match(text, line)) << text;
  EXPECT_EQ(Logged(), made) << harness::ReadFile(home / "moved.log") << Log();
}

// The ring of log files turns for all workers at once: each line counts
// once, whichever worker wrote it, and no worker empties a file another
// one has just begun.
TEST_F(MirtWorkers, ShareTheLogRing) {
  Put("a.txt", "one");
  ASSERT_TRUE(Start(Settings("LogRotation=3\nLogMaxEntries=20\n")));
  for (int i = 0; i < 50; i++) ASSERT_EQ(Get("/a.txt").status, 200);
  EXPECT_EQ(Stop(), 0);
  // The line that fills a file's count begins the next one.
  EXPECT_EQ(Count(Log(1), " GET /a.txt 200 "), 19u);
  EXPECT_EQ(Count(Log(2), " GET /a.txt 200 "), 20u);
  EXPECT_EQ(Count(Log(3), " GET /a.txt 200 "), 11u);
}

}  // namespace
