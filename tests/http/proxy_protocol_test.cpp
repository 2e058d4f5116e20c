// mirt behind HAProxy (plain and HTTPS) and hand-made PROXY headers: the
// header names the client for the log and the per-address cap, from a
// trusted proxy only.
#include "mirt_fixture.h"

namespace mirt_test {
namespace {

class ProxyProtocolTest : public MirtTest, public ::testing::WithParamInterface<const char *> {
 protected:
  std::string Header(const std::string &client) {
    return harness::ProxyHeader(std::string(GetParam()) == "send-proxy-v2", client, port);
  }
};

TEST_P(ProxyProtocolTest, TheHeaderNamesTheClient) {
  if (harness::HaproxyBin().empty()) GTEST_SKIP() << "haproxy is not installed";
  unsigned tlsPort = harness::FreePort(), front = harness::FreePort(), tlsFront = harness::FreePort();
  Put("a.txt", "hello\n");
  ASSERT_TRUE(Start("ProxyProtocol=1\nTrustedProxies=10.0.0.0/8, 127.0.0.1\n"
                    "MaxPerAddress=1\nKeepAliveTimeout=30\n" + TlsKeys(tlsPort)));
  harness::Server haproxy;
  ASSERT_TRUE(harness::StartHaproxy(&haproxy, home.path(), {{front, port}, {tlsFront, tlsPort}},
                                    GetParam()));
  std::string out;
  EXPECT_EQ(harness::Run("curl -s http://127.0.0.1:" + std::to_string(front) + "/a.txt && curl -sk "
                         "https://127.0.0.1:" + std::to_string(tlsFront) + "/a.txt", &out), 0);
  EXPECT_EQ(out, "hello\nhello\n");
  // 10.1.2.3 holds its one place; another client of the balancer is served.
  harness::Conn held;
  ASSERT_TRUE(held.Connect(port));
  held.Send(Header("10.1.2.3") + "GET /a.txt HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_NE(held.ReadLine().find("200"), std::string::npos);
  EXPECT_EQ(Raw(Header("10.1.2.3") + "GET /a.txt HTTP/1.0\r\n\r\n"), "");
  EXPECT_EQ(Request(Header("10.1.2.4") + "GET /a.txt HTTP/1.0\r\n\r\n").status, 200);
  EXPECT_EQ(Raw("GET /a.txt HTTP/1.0\r\n\r\n"), "");  // the balancer speaks first
  harness::Conn untrusted;
  ASSERT_TRUE(untrusted.Connect(port, "127.0.0.1", "127.0.0.2"));
  untrusted.Send(Header("10.9.9.9") + "GET /a.txt HTTP/1.0\r\n\r\n");
  EXPECT_EQ(ParseReply(untrusted.ReadAll()).status, 400);
  EXPECT_EQ(Stop(), 0);
  for (const char *client : {"127.0.0.1 [", "10.1.2.3 [", "10.1.2.4 [", "127.0.0.2 ["})
    EXPECT_NE(Log().find(client), std::string::npos) << client << Log();
  EXPECT_EQ(Log().find("10.9.9.9"), std::string::npos);
  EXPECT_NE(server.proc.Stderr().find("no valid PROXY header"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Forms, ProxyProtocolTest, ::testing::Values("send-proxy", "send-proxy-v2"));

}  // namespace
}  // namespace mirt_test
