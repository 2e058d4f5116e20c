// The pieces of mirt with tricky arithmetic: Base64 credentials, the
// code-by-code %XX decoding, and completing byte ranges against a size.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "connections.h"
#include "harness.h"
#include "http_server.h"
#include "request_parser.h"
#include "resolve.h"
#include "response.h"
#include "rotating_log.h"

namespace {

std::string Decode64(const std::string &in, int *result = nullptr) {
  char out[64];
  memset(out, 'Z', sizeof out);
  int r = DecodeBase64(in.c_str(), out, sizeof out);
  if (result) *result = r;
  return r == 0 ? std::string(out) : "<fail>";
}

TEST(MirtUnits, DecodeBase64) {
  EXPECT_EQ(Decode64("YWxpY2U6c2VjcmV0"), "alice:secret");
  EXPECT_EQ(Decode64("YWxpY2U6cHc="), "alice:pw");  // '=' yields NUL bytes
  EXPECT_EQ(Decode64("YQ"), "a");                   // short last group
  EXPECT_EQ(Decode64(""), "");
  int r = 0;
  Decode64("YW!=", &r);
  EXPECT_EQ(r, -1);
  Decode64("YW x", &r);
  EXPECT_EQ(r, -1);
  // In place, as the server decodes the credentials.
  char buf[64] = "Ym9iOnA6dw==";
  ASSERT_EQ(DecodeBase64(buf, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "bob:p:w");
  // An output that would not fit is refused, not cut.
  char small[4];
  EXPECT_EQ(DecodeBase64("YWxpY2U6", small, sizeof small), -1);
}

std::string DecodedUrl(const std::string &in) {
  char buf[600];
  snprintf(buf, sizeof buf, "%s", in.c_str());
  DecodeURL(buf);
  return buf;
}

TEST(MirtUnits, DecodeUrlCodeByCode) {
  EXPECT_EQ(DecodedUrl("/a%20b.htm"), "/a b.htm");
  EXPECT_EQ(DecodedUrl("/a%2Fb"), "/a/b");
  EXPECT_EQ(DecodedUrl("/a%2fb"), "/a%2fb");  // upper-case hex only
  EXPECT_EQ(DecodedUrl("/%2E%2E/x"), "/../x");
  // A '%' decoded from %25 joins the next two characters into an escape
  // that a later (higher) code decodes, never an earlier one.
  EXPECT_EQ(DecodedUrl("/%2541"), "/A");
  EXPECT_EQ(DecodedUrl("/%252F"), "//");
  EXPECT_EQ(DecodedUrl("/%2520"), "/%20");
  EXPECT_EQ(DecodedUrl("/%2525"), "/%25");
  EXPECT_EQ(DecodedUrl("/%00%0A%FF"), "/%00%0A%FF");
  EXPECT_EQ(DecodedUrl("/%1F%7F%80"), "/\x1f\x7f\x80");
  EXPECT_EQ(DecodedUrl("/%"), "/%");
  EXPECT_EQ(DecodedUrl("/%4"), "/%4");
  EXPECT_EQ(DecodedUrl("%41%42%43"), "ABC");
}

// A connection record over a real file, without sockets.
class MirtRanges : public ::testing::Test {
 protected:
  harness::TempDir dir;
  HttpServer server{};
  Log log{};  // rotation 0: off
  Connection *c = nullptr;
  void SetUp() override {
    server.log = &log;
    server.extendedMessages = '1';
    snprintf(server.serverName, sizeof server.serverName, "Mirt/1.7.1");
    harness::WriteFile(dir / "f.bin", std::string(1000, 'r'));
    c = AddConnection(-1, &server, "127.0.0.1");
    ASSERT_NE(c, nullptr);
    server.clients = 1;
  }
  void TearDown() override {
    while (server.connections) EndConnection(server.connections);
  }
  // Opens the file with the range as ParseRequest leaves it.
  int Open(bool startGiven, int64_t start, bool endGiven, int64_t end) {
    CloseFiles(c);
    snprintf(c->fileName, sizeof c->fileName, "%s", (dir / "f.bin").c_str());
    c->rangeStartGiven = startGiven;
    c->rangeEndGiven = endGiven;
    c->rangeStart = start;
    c->rangeEnd = end;
    c->size = 0;
    return OpenRequestedFile(c);
  }
};

TEST_F(MirtRanges, CompletedAgainstTheSize) {
  ASSERT_EQ(Open(false, 0, false, 0), 0);
  EXPECT_EQ(c->status, 200);
  EXPECT_EQ(c->fileLeft, 1000);
  ASSERT_EQ(Open(false, 0, true, -100), 0);  // -100
  EXPECT_EQ(c->status, 206);
  EXPECT_EQ(c->rangeStart, 900);
  EXPECT_EQ(c->rangeEnd, 1000);
  ASSERT_EQ(Open(true, 500, false, 0), 0);  // 500-
  EXPECT_EQ(c->rangeEnd, 1000);
  EXPECT_EQ(c->fileLeft, 500);
  // -N with the most negative number does not wrap.
  EXPECT_EQ(Open(false, 0, true, INT64_MIN), -1);
  EXPECT_EQ(c->status, 416);
  EXPECT_EQ(c->file, -1);
  EXPECT_EQ(c->size, (uint64_t)c->bodyLength);  // the error body's length
  EXPECT_EQ(Open(true, 0, true, INT64_MAX), -1);
  EXPECT_EQ(c->status, 416);
}

TEST_F(MirtRanges, HeaderOfAPartialResponse) {
  ASSERT_EQ(Open(true, 0, true, 100), 0);  // bytes=0-99
  c->state = '1';
  BuildHeader(c);
  std::string header(c->header, (size_t)c->headerLength);
  EXPECT_NE(header.find("\r\nContent-length: 100\r\nContent-Range: bytes 0-99/1000\r\n"
                        "Connection: close\r\n\r\n"),
            std::string::npos)
      << header;
}

TEST(MirtUnits, StatusTexts) {
  EXPECT_STREQ(StatusText(416), "416 Requested Range Not Satisfiabl");
  EXPECT_STREQ(StatusText(414), "414 Request-url Too Long");
  EXPECT_STREQ(StatusText(200), "200 Ok");
  EXPECT_EQ(StatusText(302), nullptr);
}

}  // namespace
