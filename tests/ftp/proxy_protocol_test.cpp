// zolf behind HAProxy: a login and a passive transfer through it, and
// hand-made PROXY headers naming clients the log, AllowIPAddress, the
// per-address cap and the data connection's check all go by.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "data_fixture.h"

namespace {

const char k220[] = "220 Ready.\r\n";

std::string Header(bool binary, const std::string &client) {
  if (!binary) return "PROXY TCP4 " + client + " 127.0.0.1 51000 21\r\n";
  unsigned char a[4];
  inet_pton(AF_INET, client.c_str(), a);
  std::string h("\r\n\r\n\0\r\nQUIT\n\x21\x11\x00\x0c", 16);
  h.append((const char *)a, 4);
  h += std::string("\x7f\x00\x00\x01\xc7\x38\x00\x15", 8);
  return h;
}

class FtpProxyProtocol : public ::testing::TestWithParam<const char *> {
 protected:
  bool Binary() const { return std::string(GetParam()) == "send-proxy-v2"; }
};

TEST_P(FtpProxyProtocol, TheHeaderNamesTheClient) {
  if (harness::HaproxyBin().empty()) GTEST_SKIP() << "haproxy is not installed";
  Zolf z;
  z.SimpleAccount("u", "pw", "PASV RETR");
  z.SimpleAccount("far", "pw", "PASV RETR");
  z.Allow("far", "10.1.2.3");
  harness::WriteFile(z.Root() + "/f", "data");
  unsigned dataPort = 0;
  ASSERT_TRUE(StartWithDataPort(z, "MaxUsers=8\nMaxPerAddress=1\nTimeoutTime=5\n"
                                "ProxyProtocol=1\nTrustedProxies=127.0.0.0/8\nLogRotation=1\nLogDir=.\n",
                                &dataPort));
  harness::Server haproxy;
  unsigned front = harness::FreePort();
  ASSERT_TRUE(harness::StartHaproxy(&haproxy, z.dir.path(), {{front, z.port}}, GetParam()));

  // The control connection through the balancer, the data connection
  // straight from the client.
  harness::Conn c;
  ASSERT_TRUE(c.Connect(front));
  EXPECT_EQ(c.ReadLine(), k220);
  EXPECT_EQ(Cmd(c, "USER u"), "331 User name okay, need password.\r\n");
  EXPECT_EQ(Cmd(c, "PASS pw").rfind("230 ", 0), 0u);
  EXPECT_EQ(Download(c, "RETR f").data, "data");

  // 10.1.2.3 by its header: its account lets it in, its data connection
  // must come from it, and it holds its one place.
  harness::Conn far, again, other, bare;
  ASSERT_TRUE(far.Connect(z.port));
  far.Send(Header(Binary(), "10.1.2.3"));
  EXPECT_EQ(far.ReadLine(), k220);
  EXPECT_EQ(Cmd(far, "USER far"), "331 User name okay, need password.\r\n");
  EXPECT_EQ(Cmd(far, "PASS pw").rfind("230 ", 0), 0u);
  harness::Conn stranger;
  ASSERT_TRUE(OpenPassive(far, stranger));
  EXPECT_TRUE(stranger.Closed());
  ASSERT_TRUE(again.Connect(z.port));
  again.Send(Header(Binary(), "10.1.2.3"));
  EXPECT_EQ(again.ReadLine(), "421 Too many connections from your address.\r\n");
  ASSERT_TRUE(other.Connect(z.port));
  other.Send(Header(Binary(), "10.1.2.4"));
  EXPECT_EQ(other.ReadLine(), k220);
  // From the balancer's address, the header comes first or nothing does.
  ASSERT_TRUE(bare.Connect(z.port));
  bare.Send("USER u\r\n");
  EXPECT_EQ(bare.ReadAll(), "");

  EXPECT_EQ(Cmd(far, "QUIT").rfind("221", 0), 0u);
  EXPECT_EQ(Cmd(c, "QUIT").rfind("221", 0), 0u);
  EXPECT_EQ(z.server.proc.Stop(), 0);
  std::string log = z.Log();
  EXPECT_NE(log.find("127.0.0.1"), std::string::npos) << log;
  EXPECT_NE(log.find("10.1.2.3"), std::string::npos) << log;
  EXPECT_NE(z.Stderr().find("no valid PROXY header"), std::string::npos) << z.Stderr();
}

INSTANTIATE_TEST_SUITE_P(Forms, FtpProxyProtocol, ::testing::Values("send-proxy", "send-proxy-v2"));

// Untrusted, a header is a command nobody knows.
TEST(FtpProxyProtocolUntrusted, AHeaderIsAnUnknownCommand) {
  Zolf z;
  ASSERT_TRUE(z.Start("MaxUsers=4\nTimeoutTime=2\nProxyProtocol=1\nTrustedProxies=10.0.0.1\n"));
  harness::Conn c;
  ASSERT_TRUE(z.Connect(c));
  std::string unknown = Cmd(c, "FOO 10.1.2.3");
  EXPECT_EQ(unknown.rfind("5", 0), 0u);
  EXPECT_EQ(Cmd(c, "PROXY TCP4 10.1.2.3 127.0.0.1 51000 21"), unknown);
}

}  // namespace
