// mirt against hostile clients: heads that trickle in, one address taking
// every place, and password guessing.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"
#include "mirt_fixture.h"

using harness::Conn;
using harness::WaitFor;
using mirt_test::MirtTest;
using mirt_test::ParseReply;
using mirt_test::Reply;

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// "alice:pw", "alice:wrong" and "bob:pw" in Base64.
const char kAlice[] = "Authorization: Basic YWxpY2U6cHc=\r\n";
const char kWrong[] = "Authorization: Basic YWxpY2U6d3Jvbmc=\r\n";

const char kGuarded[] =
    "AddForbidden=private;alice\nAddUser=alice;pw\n";

class MirtHostile : public MirtTest {
 protected:
  void SetUp() override {
    Put("a.txt", "alpha\n");
    Put("private/s.txt", "secret\n");
  }
  bool SecondAddress() {
    Conn c;
    return c.Connect(port, "127.0.0.1", "127.0.0.2", 2);
  }
};

// A head sent one byte at a time keeps making progress, so only a deadline
// counted from the accept ends it. With one place only, the client behind
// it is served once that deadline has passed.
TEST_F(MirtHostile, TricklingHeadIsCutAtItsDeadline) {
  ASSERT_TRUE(Start("Timeout=2\nMaxConnections=1\n"));
  Conn slow;
  ASSERT_TRUE(slow.Connect(port));
  Clock::time_point accepted = Clock::now();
  Conn next;
  ASSERT_TRUE(next.Connect(port));
  ASSERT_TRUE(next.Send("GET /a.txt HTTP/1.0\r\n\r\n"));
  const std::string head = "GET /a.txt HTTP/1.0\r\nX: y";
  bool closed = false;
  for (size_t i = 0; i < head.size() && !closed; i++) {
    slow.Send(head.substr(i, 1));
    closed = slow.Closed(0.4);
  }
  double cut = Since(accepted);
  EXPECT_TRUE(closed) << "the trickling head was never cut";
  EXPECT_GE(cut, 1.5);
  EXPECT_LT(cut, 4.0);
  Reply r = ParseReply(next.ReadAll(5));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "alpha\n");
  ASSERT_EQ(Stop(), 0);
  std::string log = Log();
  // The cut connection is logged as timed out.
  EXPECT_NE(log.find("]   408 0\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" GET /a.txt 200 "), std::string::npos) << log;
}

// MaxConnections=8 and MaxPerAddress=2: two places per address.
TEST_F(MirtHostile, OneAddressHoldsItsShareOfThePlaces) {
  ASSERT_TRUE(Start("MaxConnections=8\nMaxPerAddress=2\n"));
  Conn a, b, c;
  ASSERT_TRUE(a.Connect(port));
  ASSERT_TRUE(b.Connect(port));
  ASSERT_TRUE(a.Send("GET /a"));
  ASSERT_TRUE(b.Send("GET /a"));
  EXPECT_FALSE(a.Closed(0.3));
  ASSERT_TRUE(c.Connect(port));
  EXPECT_TRUE(c.Closed(2)) << "a third connection from one address was kept";
  EXPECT_FALSE(a.Closed(0.1));
  EXPECT_FALSE(b.Closed(0.1));
  if (SecondAddress()) {
    Conn other;
    ASSERT_TRUE(other.Connect(port, "127.0.0.1", "127.0.0.2"));
    ASSERT_TRUE(other.Send("GET /a.txt HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(ParseReply(other.ReadAll(5)).body, "alpha\n");
  }
  // Once a place is free again the address is served.
  ASSERT_TRUE(a.Send(".txt HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(ParseReply(a.ReadAll(5)).body, "alpha\n");
  EXPECT_EQ(Get("/a.txt").body, "alpha\n");
}

TEST_F(MirtHostile, MaxPerAddressSetsTheShare) {
  ASSERT_TRUE(Start("MaxPerAddress=3\n"));  // MaxConnections=20 would give 5
  std::vector<Conn> held(3);
  for (auto &c : held) {
    ASSERT_TRUE(c.Connect(port));
    ASSERT_TRUE(c.Send("G"));
  }
  for (auto &c : held) EXPECT_FALSE(c.Closed(0.2));
  Conn fourth;
  ASSERT_TRUE(fourth.Connect(port));
  EXPECT_TRUE(fourth.Closed(2));
  ASSERT_EQ(Stop(), 0);
  // Nothing is missing from the start-up messages for the optional key.
  EXPECT_EQ(server.proc.Stderr().find("MaxPerAddress"), std::string::npos)
      << server.proc.Stderr();
}

// Wrong credentials are answered a second late; meanwhile everyone else is
// served, and a request without credentials is answered at once.
TEST_F(MirtHostile, WrongPasswordIsAnsweredASecondLate) {
  ASSERT_TRUE(Start(kGuarded));
  Conn guess;
  ASSERT_TRUE(guess.Connect(port));
  Clock::time_point sent = Clock::now();
  ASSERT_TRUE(guess.Send(std::string("GET /private/s.txt HTTP/1.0\r\n") + kWrong + "\r\n"));

  Clock::time_point other = Clock::now();
  EXPECT_EQ(Get("/a.txt").body, "alpha\n");
  EXPECT_LT(Since(other), 0.5);
  other = Clock::now();
  EXPECT_EQ(Get("/private/s.txt").status, 401);  // no credentials: no pause
  EXPECT_LT(Since(other), 0.5);

  Reply r = ParseReply(guess.ReadAll(5));
  double waited = Since(sent);
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(r.Header("WWW-Authenticate"), "Basic realm=\"1 MB of RAM and no soul.\"");
  EXPECT_GE(waited, 0.95);
  EXPECT_LT(waited, 2.5);

  other = Clock::now();
  EXPECT_EQ(Get("/private/s.txt", kAlice).body, "secret\n");
  EXPECT_LT(Since(other), 0.5);
}

// Ten wrong passwords within a minute from one address: from then on its
// requests for guarded names get 401 at once, the right password too; its
// other requests, and other addresses, go on as before.
TEST_F(MirtHostile, TenWrongPasswordsLockTheAddressOut) {
  ASSERT_TRUE(Start(std::string(kGuarded) + "MaxPerAddress=20\n"));
  // Ten different guesses: the same wrong pair sent again is one guess.
  const char *passwords[] = {"YWxpY2U6d3Jvbmcw", "YWxpY2U6d3Jvbmcx", "YWxpY2U6d3Jvbmcy",
                             "YWxpY2U6d3Jvbmcz", "YWxpY2U6d3Jvbmc0", "YWxpY2U6d3Jvbmc1",
                             "YWxpY2U6d3Jvbmc2", "YWxpY2U6d3Jvbmc3", "YWxpY2U6d3Jvbmc4",
                             "YWxpY2U6d3Jvbmc5"};
  std::vector<Conn> guesses(10);
  for (size_t i = 0; i < guesses.size(); i++) {
    ASSERT_TRUE(guesses[i].Connect(port));
    ASSERT_TRUE(guesses[i].Send(std::string("GET /private/s.txt HTTP/1.0\r\nAuthorization: Basic ") +
                                passwords[i] + "\r\n\r\n"));
  }
  for (auto &c : guesses) EXPECT_EQ(ParseReply(c.ReadAll(5)).status, 401);

  Clock::time_point t = Clock::now();
  Reply r = Get("/private/s.txt", kAlice);
  EXPECT_EQ(r.status, 401) << "the right password opened a locked-out address";
  // Refused at once, not held back like a checked wrong password (1 s):
  // the margin below that second is for a busy machine.
  EXPECT_LT(Since(t), 0.9);
  EXPECT_EQ(Get("/a.txt").body, "alpha\n");
  if (SecondAddress()) {
    Conn other;
    ASSERT_TRUE(other.Connect(port, "127.0.0.1", "127.0.0.2"));
    ASSERT_TRUE(other.Send(std::string("GET /private/s.txt HTTP/1.0\r\n") + kAlice + "\r\n"));
    EXPECT_EQ(ParseReply(other.ReadAll(5)).body, "secret\n");
  }
}

}  // namespace
