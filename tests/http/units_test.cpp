// The pieces of mirt with tricky arithmetic: Base64 credentials, the
// code-by-code %XX decoding, and resolution without a server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <string>

#include "config.h"
#include "connections.h"
#include "encodings.h"
#include "http_server.h"
#include "request_parser.h"
#include "resolve.h"
#include "response.h"

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

TEST(MirtUnits, AcceptEncodingWeights) {
  const uint8_t both = kCodingBr | kCodingGzip;
  struct Case {
    const char *value;
    uint8_t codings;
  } cases[] = {
      {"gzip, deflate, br, zstd", both},
      {"GZip", kCodingGzip},
      {"x-gzip;q=0.5", kCodingGzip},
      {"gzip;q=0", 0},
      {"gzip ; q=0.000, br", kCodingBr},
      {"gzip;q=0.001", kCodingGzip},
      {"br;q=1.000", kCodingBr},
      {"*", both},
      {"*;q=0", 0},
      // A coding's own entry wins over "*", either way round.
      {"gzip;q=0, *", kCodingBr},
      {"*;q=0, br", kCodingBr},
      // Weights that are no qvalue refuse.
      {"gzip;q=1.5", 0},
      {"gzip;q=0.0001", 0},
      {"gzip;q=", 0},
      {"gzip;q=-1", 0},
      {"gzipper, brotli, identity", 0},
      {"", 0},
  };
  for (const Case &c : cases) EXPECT_EQ(AcceptedCodings(c.value), c.codings) << c.value;
  EXPECT_EQ(AcceptedCodings(nullptr), 0);
}

TEST(MirtUnits, DecodeUrlCodeByCode) {
  EXPECT_EQ(DecodedUrl("/a%20b.htm"), "/a b.htm");
  EXPECT_EQ(DecodedUrl("/a%2Fb"), "/a/b");
  // Hex digits of either case name the same byte.
  EXPECT_EQ(DecodedUrl("/a%2fb"), "/a/b");
  EXPECT_EQ(DecodedUrl("/caf%c3%a9.txt"), "/caf\xc3\xa9.txt");
  EXPECT_EQ(DecodedUrl("/%2e%2E/x"), "/../x");
  EXPECT_EQ(DecodedUrl("/%25%34%31"), "/A");
  EXPECT_EQ(DecodedUrl("/%2E%2E/x"), "/../x");
  // A '%' decoded from %25 joins the next two characters into an escape
  // that a later (higher) code decodes, never an earlier one.
  EXPECT_EQ(DecodedUrl("/%2541"), "/A");
  EXPECT_EQ(DecodedUrl("/%252F"), "//");
  EXPECT_EQ(DecodedUrl("/%2520"), "/%20");
  EXPECT_EQ(DecodedUrl("/%2525"), "/%25");
  EXPECT_EQ(DecodedUrl("/%00%0A%FF"), "/%00%0A%FF");
  EXPECT_EQ(DecodedUrl("/%0a%ff"), "/%0a%ff");
  EXPECT_EQ(DecodedUrl("/%1F%7F%80"), "/\x1f\x7f\x80");
  EXPECT_EQ(DecodedUrl("/%"), "/%");
  EXPECT_EQ(DecodedUrl("/%4"), "/%4");
  EXPECT_EQ(DecodedUrl("%41%42%43"), "ABC");
}

// Resolution without a server: a head parsed, resolved and rendered in
// memory, the way the connection does it.
class Resolution : public ::testing::Test {
 protected:
  Resolution() {
    char dir[] = "/tmp/mrXXXXXX";
    root_ = mkdtemp(dir) ? dir : "";
    snprintf(server_.protocol, sizeof server_.protocol, "HTTP/1.0");
    snprintf(server_.serverName, sizeof server_.serverName, "Mirt/1.7.1");
    server_.extendedMessages = '1';
    server_.directoryListing = '0';
  }
  ~Resolution() override {
    if (c_) {
      CloseFiles(c_);
      free(c_);
    }
    FreeList(&server_.virtuals);
    if (root_.rfind("/tmp/mr", 0) == 0) rmdir(root_.c_str());
  }
  void Virtual(const std::string &prefix) {
    ListItem *item = AddListItem(&server_.virtuals, (prefix + ";" + root_).c_str());
    item->length = (uint32_t)prefix.size();
    item->text[item->length] = '\0';
  }
  const Connection &Answer(const std::string &head) {
    if (c_) free(c_);
    c_ = (Connection *)calloc(1, sizeof(Connection));
    c_->server = &server_;
    ResetConnection(c_);
    memcpy(c_->head, head.data(), head.size() + 1);
    c_->request.received = (int32_t)head.size();
    c_->request.headLength = (int32_t)HeadLength(c_->head, head.size());
    ParseRequest(&c_->request, c_->head, false);
    ResolveRequest(c_, false);
    BuildHeader(c_);
    return *c_;
  }
  std::string Body() const { return std::string(c_->output.body, (size_t)c_->output.bodyLength); }
  static std::string Text(const std::string &status, const std::string &message) {
    return status + "\n" + message + "\n\nGenerated by Mirt/1.7.1";
  }

  HttpServer server_{};
  std::string root_;
  Connection *c_ = nullptr;
};

TEST_F(Resolution, NoMatchingVirtualDirectory) {
  Virtual("/x/");
  EXPECT_EQ(Answer("GET /y HTTP/1.0\r\n\r\n").decision.status, 500);
  EXPECT_EQ(Body(), Text("500 Internal Error",
                         "No virtual directory was found. Check configuration!"));
  // The prefix named without its '/' leads to it, query and all.
  EXPECT_EQ(Answer("GET /x?a=1 HTTP/1.0\r\n\r\n").decision.status, 301);
  EXPECT_STREQ(c_->location, "/x/?a=1");
  EXPECT_EQ(Answer("GET /xy HTTP/1.0\r\n\r\n").decision.status, 500);
}

TEST_F(Resolution, PathLengthAndLineEnds) {
  Virtual("/");
  EXPECT_EQ(Answer("GET /" + std::string(490, 'p') + " HTTP/1.0\r\n\r\n").decision.status, 414);
  EXPECT_EQ(Body(), Text("414 Request-url Too Long",
                         "The requested URL was too long for the server to handle "
                         "(filename buffer is too small)."));
  // A request line without version is refused before its path is read.
  EXPECT_EQ(Answer("GET /a.txt\r\nHost: x\r\n\r\n").decision.status, 400);
}

}  // namespace
