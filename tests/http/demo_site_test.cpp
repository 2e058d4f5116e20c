// The demo site of examples/http as its configuration's comment suggests
// running it, with ExtendedMessages=0: every answer the site gives finds
// its page in err/, so none turns into an internal error.
#include <gtest/gtest.h>

#include <strings.h>

#include <regex>
#include <string>

#include "harness.h"
#include "mirt_fixture.h"

namespace {

TEST(MirtDemoSite, CustomPagesCoverEveryAnswerOfTheSite) {
  harness::TempDir dir;
  const std::string source = SOURCE_DIR;
  ASSERT_EQ(harness::Run("cp -R '" + source + "/examples/http/.' '" + dir.path() + "' && rm -f '" +
                         dir.path() + "'/demo-*.pem '" + dir.path() + "'/logs/*.log && sh '" + source +
                         "/scripts/demo-certificate.sh' '" + dir.path() + "'",
                         nullptr, 30),
            0);
  unsigned port = harness::FreePort();
  unsigned tlsPort = harness::FreePort();
  while (tlsPort == port) tlsPort = harness::FreePort();
  std::string ini = harness::ReadFile(dir / "mirt.ini");
  ini = std::regex_replace(ini, std::regex("\nPort=[0-9]+"), "\nPort=" + std::to_string(port));
  ini = std::regex_replace(ini, std::regex("\nTLSPort=[0-9]+"),
                           "\nTLSPort=" + std::to_string(tlsPort));
  ini = std::regex_replace(ini, std::regex("\nExtendedMessages=1"), "\nExtendedMessages=0");
  harness::WriteFile(dir / "mirt.ini", ini);
  harness::Server server;
  ASSERT_TRUE(server.Start(harness::Bin("mirt"), {}, dir.path(), port));

  struct Case {
    std::string request;
    int status;
  } cases[] = {
      {"GET /docs HTTP/1.0\r\n\r\n", 301},
      {"GET /nothere.htm/ HTTP/1.0\r\n\r\n", 404},
      {"GET /private/ HTTP/1.0\r\n\r\n", 401},
      {"GET /hello.txt HTTP/1.0\r\nRange: bytes=90000-\r\n\r\n", 416},
      {"GET /../etc/passwd HTTP/1.0\r\n\r\n", 403},
      {"BREW / HTTP/1.0\r\n\r\n", 501},
      {"GET\r\n\r\n", 400},
  };
  for (const Case &c : cases) {
    harness::Conn conn;
    ASSERT_TRUE(conn.Connect(port));
    conn.Send(c.request);
    mirt_test::Reply r = mirt_test::ParseReply(conn.ReadAll());
    // The status the site chose for the request may differ from the one
    // expected here as the server grows; what must hold is that it found
    // its page.
    EXPECT_NE(r.status, 500) << c.request << r.raw;
    std::string page = harness::ReadFile(dir / ("err/err" + std::to_string(r.status) + ".htm"));
    EXPECT_FALSE(page.empty()) << "no err/err" << r.status << ".htm for " << c.request;
    EXPECT_EQ(r.body, page) << c.request;
    EXPECT_EQ(r.status, c.status) << c.request;
  }
  // A browser opens six connections to a host at once and keeps them:
  // under the demo's limits (nothing said of the share of one address)
  // every one is served, request after request.
  auto readOne = [](harness::Conn &c) {
    std::string head, line;
    size_t length = 0;
    while (!(line = c.ReadLine()).empty() && line != "\r\n") {
      head += line;
      if (strncasecmp(line.c_str(), "Content-length:", 15) == 0) length = std::stoul(line.substr(15));
    }
    return mirt_test::ParseReply(head + "\r\n" + c.ReadN(length));
  };
  harness::Conn browser[6];
  for (harness::Conn &c : browser) ASSERT_TRUE(c.Connect(port));
  for (int round = 0; round < 3; round++)
    for (harness::Conn &c : browser) {
      ASSERT_TRUE(c.Send("GET /hello.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
      mirt_test::Reply r = readOne(c);
      EXPECT_EQ(r.status, 200) << "round " << round << "\n" << r.raw;
      EXPECT_EQ(r.body, harness::ReadFile(dir / "site/hello.txt"));
    }
  EXPECT_EQ(server.proc.Stop(), 0);
}

}  // namespace
