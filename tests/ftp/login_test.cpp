// Logging in to the running server: raw dialogues, Python's ftplib, curl,
// idle sessions, the quota record, and the bundled demo account.
#include <gtest/gtest.h>

#include <chrono>
#include <unistd.h>

#include "zolf_fixture.h"

using harness::Conn;

namespace {

const char kStillRoot[] =
    "WARNING! Running as root; set User= to serve as an unprivileged account.\n";

std::string Script() { return std::string(SOURCE_DIR) + "/tests/ftp/ftplib_login.py"; }

}  // namespace

std::string SchemeName(const testing::TestParamInfo<const char *> &info) {
  const char *names[] = {"clear", "yescrypt", "sha512", "sha256", "bcrypt"};
  return names[info.index];
}

// The password "wonder land" as an account may keep it: clear, and in each
// accepted hash scheme.
class FtpStoredPassword : public testing::TestWithParam<const char *> {};

INSTANTIATE_TEST_SUITE_P(
    Schemes, FtpStoredPassword,
    testing::Values("wonder land", "$y$j9T$B7S.1gpXj.tJ6BkKytvxM1$GoQm5ErFJ.qujoZnpKH71I6ZB2kajWWv0414oO0Vc6B",
                    "$6$QuY20nzDR7E68JYW$.9gn5Z8gnNhAoLQBs/PRMgOQIem5S9qIpR9hSOVq3ygIfFHmyDOrj3Akuy."
                    "gHO2UFaQtpVQmcRaxlhtWmIol7/",
                    "$5$WpPGZibCfytjmldd$mz4M9jfMSsz0WadPZrt2dKK2vPqVyckgFFpTPmdvm74",
                    "$2b$05$w1gCFp302mSTwBggCdogkOfNnC8NEB//hO1/W18PuMp6nvEFj2rMK"),
    SchemeName);

TEST_P(FtpStoredPassword, PythonFtplibLogsInAndOut) {
  Zolf z;
  z.SimpleAccount("alice", GetParam(), "CWD CDUP");
  harness::MakeDirs(z.Root() + "/pub");
  ASSERT_TRUE(z.Start());
  std::string out;
  int status = harness::Run("python3 " + Script() + " " + std::to_string(z.port) +
                                " alice 'wonder land' pub",
                            &out, 30);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("220 Ready.\n230 Welcome!\n215 UNIX (WIN32)\npwd /\n"
                     "250 Requested action okay, completed.\npwd /pub/\n200 Zzzzz...\n"
                     "refused 502 Command not implemented.\n221 Goodbye!\n"),
            std::string::npos)
      << out;
  // Only a clear password is named at the start, once.
  std::string err = z.Stderr();
  const std::string warning = "WARNING! Account alice: PassWord is clear text";
  size_t first = err.find(warning);
  EXPECT_EQ(first != std::string::npos, GetParam()[0] != '$') << err;
  if (first != std::string::npos) {
    EXPECT_EQ(err.find(warning, first + 1), std::string::npos);
  }
}

TEST(FtpLoginServer, WrongPasswordAndStrangersAreShownTheDoor) {
  Zolf z;
  z.SimpleAccount("bob", "pw");
  z.Account("local", "PassWord=pw\nAllowIPAddress=127.0.0.1\nCloseIfIdle=no\n"
                     "AllowFullBandwidth=no\nRootDirectory=" + z.Root() + "\nDiskQuota=0\n");
  // A hash of a scheme not accepted is no clear password that its own
  // text opens: the account cannot log in, and the start says so.
  const std::string md5 = "$1$saltsalt$qjXMvbEw8oaL.CzflDugX/";
  z.SimpleAccount("old", md5);
  ASSERT_TRUE(z.Start());
  Conn old;
  ASSERT_TRUE(z.Connect(old, "127.0.0.3") && Cmd(old, "USER old")[0] == '3');
  EXPECT_EQ(Cmd(old, "PASS " + md5), "530 Login incorrect.\r\n");
  EXPECT_NE(z.Stderr().find("WARNING! Account old: PassWord is not a hash libcrypt accepts; "
                            "it cannot log in.\n"),
            std::string::npos) << z.Stderr();
  {
    Conn c;
    ASSERT_TRUE(z.Connect(c));
    EXPECT_EQ(Cmd(c, "USER bob"), "331 User name okay, need password.\r\n");
    EXPECT_EQ(Cmd(c, "PASS PW"), "530 Login incorrect.\r\n");
    EXPECT_TRUE(c.Closed());
  }
  // A bad name and an address the account does not allow look the same
  // as a wrong password, even with the right one.
  {
    Conn c;
    ASSERT_TRUE(z.Connect(c));
    EXPECT_EQ(Cmd(c, "USER bob.smith"), "331 User name okay, need password.\r\n");
    EXPECT_EQ(Cmd(c, "PASS pw"), "530 Login incorrect.\r\n");
    EXPECT_TRUE(c.Closed());
  }
  {
    // The account allows 127.0.0.1 only; this client comes from 127.0.0.2.
    Conn c;
    ASSERT_TRUE(z.Connect(c, "127.0.0.2"));
    EXPECT_EQ(Cmd(c, "USER local"), "331 User name okay, need password.\r\n");
    EXPECT_EQ(Cmd(c, "PASS pw"), "530 Login incorrect.\r\n");
    EXPECT_TRUE(c.Closed());
  }
  // Two refused guesses from 127.0.0.1 so far, of the five a minute. A
  // client that sends the same wrong pair again (as clients that reconnect
  // on their own do) guesses nothing new, and sessions that end before
  // PASS guessed nothing at all: neither may lock the address out.
  for (int i = 0; i < 3; i++) {
    Conn again;
    ASSERT_TRUE(z.Connect(again));
    EXPECT_EQ(Cmd(again, "USER bob"), "331 User name okay, need password.\r\n");
    EXPECT_EQ(Cmd(again, "PASS PW"), "530 Login incorrect.\r\n");
    Conn leaving;
    ASSERT_TRUE(z.Connect(leaving));
    EXPECT_EQ(Cmd(leaving, "USER bob"), "331 User name okay, need password.\r\n");
  }
  Conn c;
  ASSERT_TRUE(z.Login(c, "local", "pw"));
  EXPECT_EQ(z.Stderr().find("AllowIPAddress"), std::string::npos);  // refused silently
}

TEST(FtpLoginServer, RefusedAccountKeyIsReportedOnTheConsole) {
  Zolf z;
  z.Account("bob", "PassWord=pw\nAllowIPAddress=ALL\nCloseIfIdle=maybe\n");
  ASSERT_TRUE(z.Start());
  Conn c;
  ASSERT_TRUE(z.Connect(c));
  EXPECT_EQ(Cmd(c, "USER bob"), "331 User name okay, need password.\r\n");
  EXPECT_EQ(Cmd(c, "PASS pw"), "530 Login incorrect.\r\n");
  EXPECT_TRUE(c.Closed());
  EXPECT_TRUE(harness::WaitFor([&] {
    return z.Stderr().find("CloseIfIdle must be either yes or no.\n") != std::string::npos;
  }));
}

TEST(FtpLoginServer, QuotaRecordIsWrittenWhenTheSessionEnds) {
  Zolf z;
  harness::MakeDirs(z.Root());
  z.Account("bob", "PassWord=pw\nAllowIPAddress=ALL\nCloseIfIdle=no\nAllowFullBandwidth=no\n"
                   "RootDirectory=" + z.Root() + "\nDiskQuota=500\n");
  // The records kept apart from the account files.
  harness::MakeDirs(z.dir / "records");
  ASSERT_TRUE(z.Start("MaxUsers=4\nTimeoutTime=2\nQuotaDir=" + (z.dir / "records") + "\n"));
  Conn c;
  ASSERT_TRUE(z.Connect(c));
  EXPECT_EQ(Cmd(c, "USER bob"), "331 User name okay, need password.\r\n");
  EXPECT_EQ(Cmd(c, "PASS pw"), "230 Welcome! Disk usage is 0 (disk guota is 500 B).\r\n");
  EXPECT_FALSE(harness::Exists(z.dir / "accounts/bob.dsk"));
  // 500, then 0 bytes stored in 32 bits and in 64.
  std::string record("\xf4\x01\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 16);
  EXPECT_EQ(harness::ReadFile(z.dir / "records/bob.dsk"), "");
  c.Close();  // the client just goes away: the record is still written
  EXPECT_TRUE(harness::WaitFor(
      [&] { return harness::ReadFile(z.dir / "records/bob.dsk") == record; }));
}

TEST(FtpLoginServer, IdleSessionsAreClosedOnlyWhenTheAccountSaysSo) {
  Zolf z;
  harness::MakeDirs(z.Root());
  z.Account("sleepy", "PassWord=\nAllowIPAddress=ALL\nCloseIfIdle=yes\nAllowFullBandwidth=no\n"
                      "RootDirectory=" + z.Root() + "\nDiskQuota=0\n");
  z.SimpleAccount("awake", "");
  ASSERT_TRUE(z.Start("MaxUsers=4\nMaxPerAddress=4\nTimeoutTime=1\n"));
  Conn sleepy, awake, stranger;
  ASSERT_TRUE(z.Connect(sleepy));
  ASSERT_TRUE(z.Connect(awake));
  ASSERT_TRUE(z.Connect(stranger));  // never logs in: no account keeps it open
  EXPECT_EQ(Cmd(sleepy, "USER sleepy"), "230 Welcome!\r\n");
  EXPECT_EQ(Cmd(awake, "USER awake"), "230 Welcome!\r\n");
  EXPECT_TRUE(sleepy.Closed(15));
  EXPECT_TRUE(stranger.Closed(15));
  EXPECT_EQ(Cmd(awake, "NOOP"), "200 Zzzzz...\r\n");
}

TEST(FtpLoginServer, HashChecksLeaveOtherSessionsServed) {
  Zolf z;
  // "slow" in yescrypt: each check costs the server some 100 ms of a core.
  z.SimpleAccount("slow", "$y$j9T$U2Q2ho6kOo/MXpZQwsAgI.$yXhSgV6P.2R1vtzZf.3TijgbijwRZzWjLWorL/FbRe0");
  z.Account("quick", "PassWord=q\nAllowIPAddress=ALL\nCloseIfIdle=no\nAllowFullBandwidth=no\n"
                     "RootDirectory=" + z.Root() + "\nDiskQuota=0\n");
  ASSERT_TRUE(z.Start("MaxUsers=30\nMaxPerAddress=30\nTimeoutTime=30\n"));
  Conn quick;
  ASSERT_TRUE(z.Login(quick, "quick", "q"));
  const int kChecks = 20;
  Conn slow[kChecks];
  for (Conn &c : slow) {
    ASSERT_TRUE(z.Connect(c));
    ASSERT_TRUE(c.Send("USER slow\r\nPASS slow\r\n"));
  }
  for (Conn &c : slow) ASSERT_EQ(c.ReadLine(), "331 User name okay, need password.\r\n");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Cmd(quick, "NOOP"), "200 Zzzzz...\r\n");
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start).count();
  // The checks take a second or more in all; the NOOP did not wait for them.
  EXPECT_LT(ms, 250);
  EXPECT_EQ(slow[kChecks - 1].ReadLine(0.01), "");
  for (Conn &c : slow) EXPECT_EQ(c.ReadLine(20), "230 Welcome!\r\n");
}

TEST(FtpLoginServer, CurlGetsThroughLogin) {
  Zolf z;
  // The account keeps the hash zolf -hash makes of "demo", in the default
  // scheme.
  std::string hash;
  ASSERT_EQ(harness::Run("printf 'demo\\n' | " + harness::Bin("zolf") + " -hash", &hash, 10), 0);
  ASSERT_EQ(hash.rfind("$y$", 0), 0u) << hash;
  z.SimpleAccount("demo", hash.substr(0, hash.find('\n')));
  ASSERT_TRUE(z.Start());
  std::string out;
  harness::Run("curl -sv --max-time 10 -u demo:demo ftp://127.0.0.1:" + std::to_string(z.port) +
                   "/",
               &out, 30);
  EXPECT_NE(out.find("< 331 User name okay, need password."), std::string::npos) << out;
  EXPECT_NE(out.find("< 230 Welcome!"), std::string::npos) << out;
  EXPECT_NE(out.find("< 257 \"/\" is current directory."), std::string::npos) << out;
}

TEST(FtpLoginServer, DemoAccountOfTheExampleLogsIn) {
  harness::TempDir dir;
  std::string copy = dir / "ftp";
  ASSERT_EQ(harness::Run("cp -r '" + std::string(SOURCE_DIR) + "/examples/ftp' '" + copy + "'"), 0);
  // The account and the certificate make demo provides, made here afresh,
  // and no log of a demo run in the checkout.
  ASSERT_EQ(harness::Run("rm -f '" + copy + "/accounts/demo.ini' '" + copy +
                         "/accounts/demo.dsk' '" + copy + "'/demo-*.pem '" + copy +
                         "'/logs/*.log; sh '" + copy +
                         "/make-demo-account.sh' && sh '" + SOURCE_DIR +
                         "/scripts/demo-certificate.sh' '" + copy + "'",
                         nullptr, 30),
            0);
  // The example on free ports of its own.
  unsigned port = harness::FreePort();
  unsigned dataPort = harness::ListenPortsFor(port);
  ASSERT_EQ(harness::Run("sed -i -e 's/^Port=.*/Port=" + std::to_string(port) +
                         "/' -e 's/^DataPort=.*/DataPort=" + std::to_string(dataPort) + "/' '" +
                         copy + "/zolf.ini'"),
            0);
  harness::Server server;
  ASSERT_TRUE(server.Start(harness::Bin("zolf"), {}, copy, port));
  std::string out;
  int status = harness::Run("python3 " + Script() + " " + std::to_string(port) + " demo demo pub",
                            &out, 30);
  EXPECT_EQ(status, 0) << out << server.proc.Stderr();
  EXPECT_NE(out.find("230 Welcome! Disk usage is 0 (disk guota is 10485760 B).\n"),
            std::string::npos) << out;
  EXPECT_NE(out.find("pwd /pub/\n"), std::string::npos) << out;
  // A complete configuration and account: at most the word about root.
  EXPECT_EQ(server.proc.Stderr(), geteuid() == 0 ? kStillRoot : "");
  EXPECT_EQ(server.proc.Stop(10), 0);
  EXPECT_NE(harness::ReadFile(copy + "/logs/log0001.log").find("demo: PASS ****\n"),
            std::string::npos);
}
