// The pieces of mirt with tricky arithmetic: Base64 credentials and the
// code-by-code %XX decoding.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "http_server.h"
#include "request_parser.h"
#include "resolve.h"

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

}  // namespace
