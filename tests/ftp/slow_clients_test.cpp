// Clients that hold the server without logging in, strangers that open
// connection after connection, and password guessers.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "data_fixture.h"
#include "hostile_fixture.h"
#include "zolf_fixture.h"

using harness::Conn;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Lines of text in s.
int Count(const std::string &s, const std::string &text) {
  int n = 0;
  for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + 1)) n++;
  return n;
}

}  // namespace

TEST(FtpSlowClients, LoginMustCompleteInTimeWhateverArrives) {
  Zolf z;
  z.SimpleAccount("u", "pw");
  ASSERT_TRUE(StartQuietly(z, "MaxUsers=8\nTimeoutTime=2\n"));
  Conn slow;
  ASSERT_TRUE(z.Connect(slow));
  auto start = std::chrono::steady_clock::now();
  // One byte every 200 ms keeps the connection busy but never logs in.
  const std::string line = "USER u";
  bool closed = false;
  for (int i = 0; i < 40 && !closed; i++) {
    slow.Send(line.substr(i % line.size(), 1));
    closed = slow.Closed(0.2);
  }
  EXPECT_TRUE(closed);
  EXPECT_LT(Seconds(start), 4.0);
  EXPECT_GT(Seconds(start), 1.0);
  // A line that had not ended yet was nothing to complain about.
  EXPECT_EQ(z.Stderr().find("Could not parse FTP string."), std::string::npos) << z.Stderr();
}

TEST(FtpSlowClients, TenRefusedCommandsBeforeLoginEndTheSession) {
  Zolf z;
  z.SimpleAccount("u", "pw");
  ASSERT_TRUE(StartQuietly(z, "MaxUsers=8\nTimeoutTime=30\n"));
  Conn c;
  ASSERT_TRUE(z.Connect(c));
  for (int i = 1; i < 10; i++) {
    std::string reply = Cmd(c, i % 2 ? "XYZZY" : "RETR secret");
    EXPECT_EQ(reply.rfind("5", 0), 0u) << i << reply;
  }
  EXPECT_EQ(Text(Cmd(c, "XYZZY")).rfind("502 ", 0), 0u);
  EXPECT_TRUE(c.Closed());
  // A client that logs in is not counted against.
  Conn good;
  ASSERT_TRUE(z.Connect(good));
  for (int i = 0; i < 3; i++) Cmd(good, "XYZZY");
  EXPECT_EQ(Text(Cmd(good, "USER u")), "331 User name okay, need password.");
  EXPECT_EQ(Text(Cmd(good, "PASS pw")), "230 Welcome!");
  for (int i = 0; i < 12; i++) EXPECT_EQ(Text(Cmd(good, "XYZZY")).rfind("502 ", 0), 0u);
  EXPECT_EQ(Text(Cmd(good, "NOOP")), "200 Zzzzz...");
}

TEST(FtpSlowClients, OneAddressHoldsOnlyItsShareOfTheSessions) {
  Zolf z;
  ASSERT_TRUE(StartQuietly(z, "MaxUsers=8\nMaxPerAddress=2\nTimeoutTime=30\n"
                              "LogRotation=1\nLogDir=.\n"));
  Conn a, b, c;
  ASSERT_TRUE(z.Connect(a));
  ASSERT_TRUE(z.Connect(b));
  ASSERT_TRUE(c.Connect(z.port));
  EXPECT_EQ(c.ReadLine(), "421 Too many connections from your address.\r\n");
  EXPECT_TRUE(c.Closed());
  // The log says why the client got nowhere.
  EXPECT_TRUE(harness::WaitFor([&] {
    return z.Log().find(" [127.0.0.1      ] : 421 Too many connections from your address.\n") !=
           std::string::npos;
  })) << z.Log();
  // Another address is not held back by this one.
  Conn other;
  EXPECT_TRUE(z.Connect(other, "127.0.0.2"));
  // A session that ends makes room again.
  a.Close();
  EXPECT_TRUE(harness::WaitFor([&] {
    Conn again;
    return z.Connect(again);
  }));
  EXPECT_EQ(z.Stderr().find("MaxPerAddress"), std::string::npos);
}

TEST(FtpSlowClients, MaxPerAddressSetsTheShare) {
  Zolf z;
  ASSERT_TRUE(StartQuietly(z, "MaxUsers=8\nTimeoutTime=30\nMaxPerAddress=3\n"));
  std::vector<Conn> held(3);
  for (Conn &c : held) ASSERT_TRUE(z.Connect(c));
  Conn over;
  ASSERT_TRUE(over.Connect(z.port));
  EXPECT_EQ(over.ReadLine(), "421 Too many connections from your address.\r\n");
}

TEST(FtpSlowClients, OutOfDescriptorsTheListenerRestsAndSpeaksOnceASecond) {
  Zolf z;
  z.port = harness::FreePort();
  harness::WriteFile(z.dir / "zolf.ini",
                     z.Ini("MaxUsers=200\nMaxPerAddress=200\nTimeoutTime=30\n"));
  // Room for the listener and a handful of sessions only.
  ASSERT_TRUE(z.server.Start("/bin/sh", {"-c", "ulimit -n 12 && exec " + harness::Bin("zolf")},
                             z.dir.path(), z.port));
  std::vector<Conn> held(16);
  for (Conn &c : held) c.Connect(z.port, "127.0.0.1", "", 1);
  ASSERT_TRUE(harness::WaitFor(
      [&] { return z.Stderr().find("Connection refused (out of memory?).") != std::string::npos; }));
  auto start = std::chrono::steady_clock::now();
  long before = CpuTicks(z.server.proc);
  int printedBefore = Count(z.Stderr(), "Connection refused (out of memory?).");
  // A measured stretch of three seconds with clients the server cannot
  // take waiting all the while.
  harness::WaitFor([] { return false; }, 3);
  long used = CpuTicks(z.server.proc) - before;
  int printed = Count(z.Stderr(), "Connection refused (out of memory?).") - printedBefore;
  double elapsed = Seconds(start);
  EXPECT_LT(used, 50) << "clock ticks in " << elapsed << " s";
  EXPECT_LE(printed, (int)elapsed + 2);
  // Once descriptors are free again the waiting clients are served.
  for (int i = 0; i < 4; i++) held[i].Close();
  bool greeted = false;
  for (size_t i = 4; i < held.size() && !greeted; i++)
    greeted = held[i].ReadLine(0.5) == "220 Ready.\r\n";
  EXPECT_TRUE(greeted);
}

TEST(FtpPasswordGuessing, FailuresAreAnsweredLateAndTheAddressIsShutOut) {
  Zolf z;
  z.SimpleAccount("u", "pw");
  ASSERT_TRUE(StartQuietly(z, "MaxUsers=20\nMaxPerAddress=10\nTimeoutTime=30\n"));
  // Five guesses at once: each answer takes a second, and none holds up
  // a client that logs in meanwhile.
  Conn user;
  ASSERT_TRUE(z.Login(user, "u", "pw"));
  std::vector<Conn> guessers(5);
  for (Conn &g : guessers) {
    ASSERT_TRUE(z.Connect(g));
    ASSERT_EQ(Text(Cmd(g, "USER u")), "331 User name okay, need password.");
  }
  auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < guessers.size(); i++) ASSERT_TRUE(guessers[i].Send("PASS guess" + std::to_string(i) + "\r\n"));
  EXPECT_EQ(Text(Cmd(user, "NOOP")), "200 Zzzzz...");
  Conn newcomer;
  ASSERT_TRUE(z.Connect(newcomer, "127.0.0.2"));
  EXPECT_EQ(Text(Cmd(newcomer, "USER u")), "331 User name okay, need password.");
  EXPECT_EQ(Text(Cmd(newcomer, "PASS pw")), "230 Welcome!");
  EXPECT_LT(Seconds(start), 0.8);
  for (Conn &g : guessers) {
    std::string reply = g.ReadLine(5);
    EXPECT_EQ(reply.rfind("530 ", 0), 0u) << reply;
    EXPECT_GE(Seconds(start), 0.95);
    EXPECT_TRUE(g.Closed());
  }
  // Five failures within the minute: the address is turned away.
  Conn next;
  ASSERT_TRUE(next.Connect(z.port));
  EXPECT_EQ(next.ReadLine(), "421 Too many failed logins, try later.\r\n");
  EXPECT_TRUE(next.Closed());
  // Others are not.
  Conn elsewhere;
  EXPECT_TRUE(z.Connect(elsewhere, "127.0.0.2"));
  // The session that logged in before goes on.
  EXPECT_EQ(Text(Cmd(user, "NOOP")), "200 Zzzzz...");
}
