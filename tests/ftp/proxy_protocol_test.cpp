// zolf behind HAProxy and hand-made PROXY headers: the named client is the
// one the log, AllowIPAddress, the per-address cap and the data
// connection's check go by; from anyone not trusted a header is a command.
#include <gtest/gtest.h>

#include "data_fixture.h"

namespace {

const char k220[] = "220 Ready.\r\n";

class FtpProxyProtocol : public ::testing::TestWithParam<const char *> {};

TEST_P(FtpProxyProtocol, TheHeaderNamesTheClient) {
  if (harness::HaproxyBin().empty()) GTEST_SKIP() << "haproxy is not installed";
  Zolf z;
  z.SimpleAccount("u", "pw", "PASV RETR");
  z.SimpleAccount("far", "pw", "PASV RETR");
  z.Allow("far", "10.1.2.3");
  harness::WriteFile(z.Root() + "/f", "data");
  unsigned dataPort = 0, front = harness::FreePort();
  ASSERT_TRUE(StartWithDataPort(z, "MaxUsers=8\nMaxPerAddress=1\nTimeoutTime=5\nProxyProtocol=1\n"
                                "TrustedProxies=127.0.0.1\nLogRotation=1\nLogDir=.\n", &dataPort));
  harness::Server haproxy;
  ASSERT_TRUE(harness::StartHaproxy(&haproxy, z.dir.path(), {{front, z.port}}, GetParam()));
  // The control connection through the balancer, the data connection
  // straight from the client.
  harness::Conn c, far, again, other, bare, stranger, untrusted;
  ASSERT_TRUE(c.Connect(front));
  EXPECT_EQ(c.ReadLine(), k220);
  EXPECT_EQ(Cmd(c, "USER u"), "331 User name okay, need password.\r\n");
  EXPECT_EQ(Cmd(c, "PASS pw").rfind("230 ", 0), 0u);
  EXPECT_EQ(Download(c, "RETR f").data, "data");
  // 10.1.2.3 by its header: its account lets it in, its data connection
  // must come from it, and it holds its one place.
  auto header = [&](const char *client) {
    return harness::ProxyHeader(std::string(GetParam()) == "send-proxy-v2", client, z.port);
  };
  ASSERT_TRUE(far.Connect(z.port) && far.Send(header("10.1.2.3")));
  EXPECT_EQ(far.ReadLine(), k220);
  EXPECT_EQ(Cmd(far, "USER far"), "331 User name okay, need password.\r\n");
  EXPECT_EQ(Cmd(far, "PASS pw").rfind("230 ", 0), 0u);
  ASSERT_TRUE(OpenPassive(far, stranger));
  EXPECT_TRUE(stranger.Closed());
  ASSERT_TRUE(again.Connect(z.port) && again.Send(header("10.1.2.3")));
  EXPECT_EQ(again.ReadLine(), "421 Too many connections from your address.\r\n");
  ASSERT_TRUE(other.Connect(z.port) && other.Send(header("10.1.2.4")));
  EXPECT_EQ(other.ReadLine(), k220);
  ASSERT_TRUE(bare.Connect(z.port) && bare.Send("USER u\r\n"));  // the balancer speaks first
  EXPECT_EQ(bare.ReadAll(), "");
  ASSERT_TRUE(untrusted.Connect(z.port, "127.0.0.1", "127.0.0.2"));
  EXPECT_EQ(untrusted.ReadLine(), k220);
  std::string unknown = Cmd(untrusted, "FOO 10.1.2.3");
  EXPECT_EQ(unknown.rfind("5", 0), 0u);
  EXPECT_EQ(Cmd(untrusted, "PROXY TCP4 10.1.2.3 127.0.0.1 51000 21"), unknown);
  EXPECT_EQ(z.server.proc.Stop(), 0);
  EXPECT_NE(z.Log().find("[127.0.0.1 "), std::string::npos) << z.Log();
  EXPECT_NE(z.Log().find("[10.1.2.3 "), std::string::npos) << z.Log();
  EXPECT_NE(z.Stderr().find("no valid PROXY header"), std::string::npos) << z.Stderr();
}

INSTANTIATE_TEST_SUITE_P(Forms, FtpProxyProtocol, ::testing::Values("send-proxy", "send-proxy-v2"));

}  // namespace
