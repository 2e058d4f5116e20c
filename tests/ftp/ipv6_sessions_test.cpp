// zolf over IPv6 beyond the clients' sessions (client_sessions_test.cpp
// runs those on ::1 too): a dual-stack "::" server that serves IPv4
// clients as before, and the data-connection commands each family answers
// or refuses, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "data_fixture.h"

namespace {

const char kGrants[] = "PASV PORT LIST RETR STOR TYPE SIZE CWD";
const char k226[] = "226 Transfer complete.\r\n";
const char k522[] = "522 Network protocol not supported, use (1,2)\r\n";

}  // namespace

TEST(FtpIPv6, DualStackListenerServesBothFamilies) {
  if (!harness::Ipv6Loopback()) GTEST_SKIP() << "no ::1 on this machine";
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  harness::WriteFile(z.Root() + "/f", Pattern(70000, 4));
  ASSERT_TRUE(z.Start("Address=::\nMaxUsers=6\nMaxPerAddress=2\nTimeoutTime=5\n"
                      "LogRotation=1\nLogDir=.\n"));
  // IPv4: PASV names the address the client reached (ExternIP is a copy of
  // "::", which names no IPv4 host) and works; EPSV 1 is its own family.
  harness::Conn four;
  ASSERT_TRUE(z.Login(four, "u", "pw"));
  harness::Conn data;
  std::string reply;
  ASSERT_TRUE(OpenPassive(four, data, &reply)) << reply;
  EXPECT_EQ(reply.rfind("227 Entering Passive Mode (127,0,0,1,", 0), 0u) << reply;
  EXPECT_EQ(Cmd(four, "RETR f"), "150 Starting transfer.\r\n");
  EXPECT_TRUE(data.ReadAll() == Pattern(70000, 4));
  EXPECT_EQ(four.ReadLine(), k226);
  EXPECT_EQ(Cmd(four, "EPSV 1").rfind("229 ", 0), 0u);
  EXPECT_EQ(Cmd(four, "EPSV 2"), k522);
  EXPECT_EQ(Cmd(four, "EPRT |2|::1|5000|"), k522);
  std::string out;
  EXPECT_EQ(harness::Run("curl -sS -v --max-time 30 --disable-epsv -u u:pw ftp://127.0.0.1:" +
                             std::to_string(z.port) + "/f",
                         &out, 60),
            0);
  EXPECT_NE(out.find("< 227 Entering Passive Mode (127,0,0,1,"), std::string::npos) << out;

  // IPv6 on the same listener.
  z.host = "::1";
  harness::Conn six;
  ASSERT_TRUE(z.Login(six, "u", "pw"));
  Transfer t = ExtendedDownload(six, "RETR f", "::1");
  EXPECT_EQ(t.end, k226);
  EXPECT_TRUE(t.data == Pattern(70000, 4));

  // Each family's address has its own share: ::1 is at its two sessions,
  // 127.0.0.1 at one.
  harness::Conn second6, third6, second4;
  ASSERT_TRUE(z.Connect(second6));
  ASSERT_TRUE(third6.Connect(z.port, "::1"));
  EXPECT_EQ(third6.ReadLine(), "421 Too many connections from your address.\r\n");
  z.host = "127.0.0.1";
  EXPECT_TRUE(z.Connect(second4));

  // The log shows the IPv4 client as plain IPv4, never as a mapped address.
  std::string log = z.Log();
  EXPECT_NE(log.find(" [127.0.0.1      ] u: PASV\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" [::1            ] u: EPSV\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("::ffff:"), std::string::npos) << log;
}

TEST(FtpIPv6, DataCommandsOfAnIPv6Session) {
  if (!harness::Ipv6Loopback()) GTEST_SKIP() << "no ::1 on this machine";
  Zolf z;
  z.host = "::1";
  z.SimpleAccount("u", "pw", kGrants);
  z.SimpleAccount("v", "pw", kGrants);
  z.Allow("v", "127.0.0.1");
  harness::WriteFile(z.Root() + "/f", Pattern(50000, 9));
  unsigned dataPort = 0;
  ASSERT_TRUE(StartWithDataPort(z, "Address=::1\nMaxUsers=4\nTimeoutTime=5\n", &dataPort));
  // An account kept to an IPv4 address is not the IPv6 client's.
  harness::Conn other;
  ASSERT_TRUE(z.Connect(other));
  EXPECT_EQ(Cmd(other, "USER v"), "331 User name okay, need password.\r\n");
  EXPECT_EQ(Cmd(other, "PASS pw"), "530 Login incorrect.\r\n");

  harness::Conn c;
  ASSERT_TRUE(z.Login(c, "u", "pw"));
  // PASV and PORT carry IPv4 addresses; EPSV 1 and EPRT |1| another family.
  EXPECT_EQ(Cmd(c, "PASV"), k522);
  EXPECT_EQ(Cmd(c, "PORT 127,0,0,1,20,0"), k522);
  EXPECT_EQ(Cmd(c, "EPSV 1"), k522);
  EXPECT_EQ(Cmd(c, "EPRT |1|127.0.0.1|5120|"), k522);
  EXPECT_EQ(Cmd(c, "EPSV 3"), k522);
  // The passive listener is on the session's own ::1, at a port of the
  // passive range.
  unsigned passive = ExtendedPort(Cmd(c, "EPSV 2"));
  EXPECT_TRUE(passive >= dataPort && passive <= dataPort + 4) << passive;
  Transfer t = ExtendedDownload(c, "RETR f", "::1");
  EXPECT_EQ(t.end, k226);
  EXPECT_TRUE(t.data == Pattern(50000, 9));

  // EPRT |2|: the checks of PORT hold.
  ActiveListener listener(true);
  std::string port = std::to_string(listener.port());
  EXPECT_EQ(Cmd(c, "EPRT |2|::2|" + port + "|"), "501 PORT with conflicting IP.\r\n");
  EXPECT_EQ(Cmd(c, "EPRT |2|not-an-address|" + port + "|"), "501 PORT with conflicting IP.\r\n");
  EXPECT_EQ(Cmd(c, "EPRT |2|::1|1023|"), "550 Bad PORT arguments.\r\n");
  EXPECT_EQ(Cmd(c, "EPRT |2|::1|" + std::to_string(z.port) + "|"), "550 Bad PORT arguments.\r\n");
  EXPECT_EQ(Cmd(c, "EPRT |2|::1|" + std::to_string(dataPort) + "|"),
            "550 Bad PORT arguments.\r\n");
  // Its own address in another spelling is its own, and so is "::" (lftp
  // sends it in active mode).
  for (const char *own : {"0:0:0:0:0:0:0:1", "::"}) {
    EXPECT_EQ(Cmd(c, "EPRT |2|" + std::string(own) + "|" + port + "|"), "200 Command okay.\r\n");
    EXPECT_EQ(Cmd(c, "RETR f"), "150 Starting transfer.\r\n");
    EXPECT_TRUE(listener.AcceptAndReadAll() == Pattern(50000, 9)) << own;
    EXPECT_EQ(c.ReadLine(), k226);
  }
}
