// mirt behind HAProxy: the PROXY header (text and binary) names the client
// for the log and the per-address cap, over plain HTTP and HTTPS; a
// balancer's connection without one is closed, and a header from anyone
// not trusted is an ordinary bad request.
#include <arpa/inet.h>

#include "mirt_fixture.h"

namespace mirt_test {
namespace {

// The header a balancer sends for a TCP client at `client`:51000.
std::string Header(bool binary, const std::string &client) {
  if (!binary) return "PROXY TCP4 " + client + " 127.0.0.1 51000 80\r\n";
  unsigned char a[4];
  inet_pton(AF_INET, client.c_str(), a);
  std::string h("\r\n\r\n\0\r\nQUIT\n\x21\x11\x00\x0c", 16);
  h.append((const char *)a, 4);
  h += std::string("\x7f\x00\x00\x01\xc7\x38\x00\x50", 8);
  return h;
}

class ProxyProtocolTest : public MirtTest,
                          public ::testing::WithParamInterface<const char *> {
 protected:
  bool Binary() const { return std::string(GetParam()) == "send-proxy-v2"; }
};

TEST_P(ProxyProtocolTest, TheHeaderNamesTheClient) {
  if (harness::HaproxyBin().empty()) GTEST_SKIP() << "haproxy is not installed";
  unsigned tlsPort = harness::FreePort();
  Put("a.txt", "hello\n");
  ASSERT_TRUE(Start("ProxyProtocol=1\nTrustedProxies=10.0.0.0/8, 127.0.0.1\n"
                    "MaxPerAddress=1\nKeepAliveTimeout=30\n" + TlsKeys(tlsPort)));
  harness::Server haproxy;
  unsigned front = harness::FreePort(), tlsFront = harness::FreePort();
  ASSERT_TRUE(harness::StartHaproxy(&haproxy, home.path(), {{front, port}, {tlsFront, tlsPort}},
                                    GetParam()));
  std::string out;
  EXPECT_EQ(harness::Run("curl -s http://127.0.0.1:" + std::to_string(front) + "/a.txt", &out),
            0);
  EXPECT_EQ(out, "hello\n");
  EXPECT_EQ(harness::Run("curl -sk https://127.0.0.1:" + std::to_string(tlsFront) + "/a.txt",
                         &out),
            0);
  EXPECT_EQ(out, "hello\n");

  // One connection of 10.1.2.3 is held open; a second one of it is over
  // its share, while another client behind the same balancer is served.
  harness::Conn held;
  ASSERT_TRUE(held.Connect(port));
  held.Send(Header(Binary(), "10.1.2.3") + "GET /a.txt HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_NE(held.ReadLine().find("200"), std::string::npos);
  EXPECT_EQ(Raw(Header(Binary(), "10.1.2.3") + "GET /a.txt HTTP/1.0\r\n\r\n"), "");
  EXPECT_EQ(Request(Header(Binary(), "10.1.2.4") + "GET /a.txt HTTP/1.0\r\n\r\n").status, 200);
  // The balancer must speak first.
  EXPECT_EQ(Raw("GET /a.txt HTTP/1.0\r\n\r\n"), "");
  held.Close();
  EXPECT_EQ(Stop(), 0);
  std::string log = Log();
  EXPECT_NE(log.find("127.0.0.1 ["), std::string::npos) << log;
  EXPECT_NE(log.find("10.1.2.3 ["), std::string::npos) << log;
  EXPECT_NE(log.find("10.1.2.4 ["), std::string::npos) << log;
  EXPECT_NE(server.proc.Stderr().find("no valid PROXY header"), std::string::npos);
}

// Untrusted, a header is the first line of a request like any other.
TEST_P(ProxyProtocolTest, AnUntrustedHeaderIsABadRequest) {
  ASSERT_TRUE(Start("ProxyProtocol=1\nTrustedProxies=::1 10.0.0.1\n"));
  EXPECT_EQ(Request(Header(Binary(), "10.1.2.3") + "GET / HTTP/1.0\r\n\r\n").status, 400);
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(Log().find("10.1.2.3"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Forms, ProxyProtocolTest,
                         ::testing::Values("send-proxy", "send-proxy-v2"));

}  // namespace
}  // namespace mirt_test
