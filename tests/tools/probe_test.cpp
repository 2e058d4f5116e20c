// The HTTP test client driven through its standard input against a
// scripted server on loopback.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "scripted_peer.h"
#include "tool_run.h"

namespace {

const std::string kPromptsToPath =
    "Enter server IP address or q to quit program.\n: "
    "Enter server port.\n: "
    "Enter HTTP Method.\n: "
    "Enter byte range field or x to skip.\n: "
    "Enter file name (/filename).\n: ";
const std::string kPrompts = kPromptsToPath + "Enter header lines, an empty line to send.\n: ";

std::string Host(unsigned port) { return "Host: 127.0.0.1:" + std::to_string(port) + "\r\n"; }

std::string Ask(unsigned port, const std::string &method, const std::string &range,
                const std::string &path) {
  return "127.0.0.1\n" + std::to_string(port) + "\n" + method + "\n" + range + "\n" + path +
         "\n";
}

// What the probe prints up to "Buffer sent." for a request sent whole.
std::string Sent(const std::string &request) {
  return kPrompts + "Connected to server.\nSending:\n" + request +
         std::to_string(request.size()) + " B sent to server.\n\nBuffer sent.\n";
}

// Serves one request: records its head, answers `response`, closes.
peer::ScriptedPeer *Answering(const std::string &response, std::string *head) {
  return new peer::ScriptedPeer([=](peer::Socket &s) {
    *head = s.ReadUntil("\r\n\r\n");
    s.Send(response);
    s.Close();
  });
}

struct Exchange {
  unsigned port = 0;
  ToolResult result;
  std::string head;           // what reached the server
  std::string received;       // the pieces joined again
  std::vector<std::string> pieces;
  bool wellFormed = false;
};

Exchange Probe(const std::string &method, const std::string &range, const std::string &path,
               const std::string &response, const std::string &headers = "") {
  Exchange e;
  std::unique_ptr<peer::ScriptedPeer> server(Answering(response, &e.head));
  e.port = server->port();
  harness::TempDir dir;
  e.result = RunTool("probe", Ask(server->port(), method, range, path) + headers, dir.path());
  EXPECT_TRUE(server->Join());
  const std::string &out = e.result.out;
  const std::string end = "\nConnection closed by server.\n";
  size_t sent = out.find("\nBuffer sent.\n");
  if (sent != std::string::npos && out.size() >= sent + 14 + end.size() &&
      out.compare(out.size() - end.size(), end.size(), end) == 0) {
    std::string middle = out.substr(sent + 14, out.size() - end.size() - sent - 14);
    e.wellFormed = SplitPieces(middle, &e.pieces);
    for (auto &p : e.pieces) e.received += p;
  }
  return e;
}

TEST(ToolsProbe, QuitOrEndOfInputAtAnyPromptSendsNothing) {
  harness::TempDir dir;
  ToolResult r = RunTool("probe", "q\n", dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Enter server IP address or q to quit program.\n: ");
  r = RunTool("probe", "127.0.0.1\n80\nGET\nx\n", dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kPromptsToPath);
}

TEST(ToolsProbe, RequestWithoutRangeAndResponseShownWhole) {
  const std::string response = "HTTP/1.0 200 OK\r\nContent-length: 5\r\n\r\nhello";
  Exchange e = Probe("GET", "x", "/index.html", response);
  EXPECT_EQ(e.result.status, 0);
  EXPECT_EQ(e.head, "GET /index.html HTTP/1.0\r\n" + Host(e.port) + "\r\n");
  EXPECT_EQ(e.result.out.substr(0, Sent(e.head).size()), Sent(e.head));
  EXPECT_TRUE(e.wellFormed) << e.result.out;
  EXPECT_EQ(e.received, response);
}

TEST(ToolsProbe, RangeLineBecomesTheRangeHeaderEvenWhenEmpty) {
  Exchange e = Probe("GET", "0-99", "/a", "HTTP/1.0 206 Partial content\r\n\r\n");
  EXPECT_EQ(e.head, "GET /a HTTP/1.0\r\n" + Host(e.port) + "Range: bytes=0-99\r\n\r\n");
  EXPECT_TRUE(e.wellFormed) << e.result.out;
  e = Probe("HEAD", "", "/", "HTTP/1.0 200 OK\r\n\r\n");
  EXPECT_EQ(e.head, "HEAD / HTTP/1.0\r\n" + Host(e.port) + "Range: bytes=\r\n\r\n");
  EXPECT_EQ(e.result.status, 0);
  // Method and path go out as typed, whatever they are.
  e = Probe("get", "x", "no slash", "x");
  EXPECT_EQ(e.head, "get no slash HTTP/1.0\r\n" + Host(e.port) + "\r\n");
}

TEST(ToolsProbe, LongResponseIsShownInCountedPieces) {
  std::string body;
  for (int i = 0; body.size() < 1400; i++) body += "line " + std::to_string(i) + "\n";
  const std::string response = "HTTP/1.0 200 OK\r\n\r\n" + body;
  Exchange e = Probe("GET", "x", "/big", response);
  EXPECT_EQ(e.result.status, 0);
  ASSERT_TRUE(e.wellFormed) << e.result.out;
  EXPECT_EQ(e.received, response);
  EXPECT_GE(e.pieces.size(), 3u);
  for (auto &p : e.pieces) EXPECT_LE(p.size(), 511u);
}

TEST(ToolsProbe, OverlongAnswersAreCutAndDoNotSpillIntoTheNextPrompt) {
  std::string head;
  std::unique_ptr<peer::ScriptedPeer> server(Answering("HTTP/1.0 200 OK\r\n\r\n", &head));
  harness::TempDir dir;
  std::string method = "GETGETGETGETGETGETGET";  // 21 characters, 15 kept
  std::string path = "/" + std::string(3000, 'p');  // long paths go whole
  ToolResult r = RunTool("probe", Ask(server->port(), method, "x", path), dir.path());
  ASSERT_TRUE(server->Join());
  EXPECT_EQ(head, method.substr(0, 15) + " " + path + " HTTP/1.0\r\n" + Host(server->port()) +
                      "\r\n");
  EXPECT_EQ(r.status, 0);
  // A path the request buffer cannot hold is refused, not cut.
  r = RunTool("probe", Ask(harness::FreePort(), "GET", "x", "/" + std::string(5000, 'p')),
              dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kPromptsToPath + "The request does not fit the buffer.\n");
}

TEST(ToolsProbe, HeaderLinesGoBeforeTheEmptyLineAndABinaryBodyIsCounted) {
  std::string binary("GIF89a\0\0\x01\x02", 10);
  while (binary.size() < 1500) binary += std::string(1, '\0') + "pixels";
  binary.resize(1500);
  const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: image/gif\r\n\r\n";
  Exchange e = Probe("GET", "x", "/a.gif", head + binary,
                     "If-Modified-Since: Mon, 07 Dec 2026 02:12:01 GMT\n"
                     "Authorization: Basic YWxpY2U6cHc=\n\nnot sent\n");
  EXPECT_EQ(e.result.status, 0);
  EXPECT_EQ(e.head, "GET /a.gif HTTP/1.0\r\n" + Host(e.port) +
                        "If-Modified-Since: Mon, 07 Dec 2026 02:12:01 GMT\r\n"
                        "Authorization: Basic YWxpY2U6cHc=\r\n\r\n");
  const std::string &out = e.result.out;
  EXPECT_NE(out.find(": : : Connected to server.\n"), std::string::npos) << out;
  EXPECT_NE(out.find(head), std::string::npos) << out;
  EXPECT_EQ(out.find("GIF89a"), std::string::npos) << out;
  EXPECT_NE(out.find("(1500 bytes of body, binary: not shown)\n\nConnection closed by server.\n"),
            std::string::npos)
      << out;
}

TEST(ToolsProbe, HelpAndHostNames) {
  std::string out;
  EXPECT_EQ(harness::Run(harness::Bin("probe") + " --help", &out), 0);
  EXPECT_EQ(out.find("Usage: probe [-k] [-u USER:PASS]"), 0u) << out;
  EXPECT_EQ(harness::Run(harness::Bin("probe") + " extra </dev/null", &out), 1);
  EXPECT_EQ(harness::Run(harness::Bin("probe") + " http://127.0.0.1:0/ </dev/null", &out), 1);
  std::string head;
  std::unique_ptr<peer::ScriptedPeer> server(Answering("HTTP/1.0 204 No content\r\n\r\n", &head));
  harness::TempDir dir;
  ToolResult r = RunTool("probe", "localhost\n" + std::to_string(server->port()) + "\nGET\nx\n/\n",
                         dir.path());
  ASSERT_TRUE(server->Join());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(head, "GET / HTTP/1.0\r\nHost: localhost:" + std::to_string(server->port()) +
                      "\r\n\r\n");
  // The same from a URL and options: HTTP/1.1, the Host field as the URL
  // has it, the credentials encoded, no fragment.
  server.reset(Answering("HTTP/1.1 204 No content\r\n\r\n", &head));
  std::string url = "http://localhost:" + std::to_string(server->port()) + "/a%20b?q=1#top";
  EXPECT_EQ(harness::Run(harness::Bin("probe") + " -X PUT -u 'demo:d e' -H 'X-A: 1' -r 0-9 '" +
                             url + "' </dev/null",
                         &out),
            0);
  ASSERT_TRUE(server->Join());
  EXPECT_EQ(head, "PUT /a%20b?q=1 HTTP/1.1\r\nHost: localhost:" + std::to_string(server->port()) +
                      "\r\nAuthorization: Basic ZGVtbzpkIGU=\r\nRange: bytes=0-9\r\n"
                      "Connection: close\r\nX-A: 1\r\n\r\n");
}

TEST(ToolsProbe, FailedConnectEndsWithFailure) {
  harness::TempDir dir;
  ToolResult r =
      RunTool("probe", Ask(harness::FreePort(), "GET", "x", "/"), dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kPrompts + "Connect failed.\n");
}

TEST(ToolsProbe, ResetConnectionIsReportedNotFatal) {
  // The reset waits for the request: a reset that meets the probe while
  // its connect is still returning makes the connect itself fail.
  peer::ScriptedPeer server([](peer::Socket &s) {
    s.ReadUntil("\r\n\r\n", 10);
    s.Reset();
  });
  harness::TempDir dir;
  ToolResult r = RunTool("probe", Ask(server.port(), "GET", "x", "/"), dir.path());
  ASSERT_TRUE(server.Join());
  // Whether the send or the read meets the reset first is up to the
  // kernel; either way the probe says so and fails, without a signal.
  EXPECT_EQ(r.status, 1);
  const std::string end = "Error on socket.\n";
  ASSERT_GE(r.out.size(), end.size());
  EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end);
}

}  // namespace
