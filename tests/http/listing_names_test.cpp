// The visible and the link form of listed names: entities for the five
// HTML-special characters, and links that the server's own URL decoding
// turns back into exactly the name (or no link at all).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "listing_page_names.h"
#include "resolve.h"

namespace {

std::string Html(const std::string &text, size_t size = 4096) {
  char out[4096];
  int n = EscapeHtml(text.c_str(), out, size);
  return n < 0 ? "<refused>" : std::string(out, (size_t)n);
}

std::string Href(const std::string &name, size_t size = 4096) {
  char out[4096];
  int n = EncodeHref(name.c_str(), out, size);
  return n < 0 ? "<refused>" : std::string(out, (size_t)n);
}

std::string Decoded(const std::string &href) {
  char text[4096];
  snprintf(text, sizeof text, "%s", href.c_str());
  DecodeURL(text);
  return text;
}

TEST(MirtListingNames, HtmlSpecialCharactersBecomeEntities) {
  EXPECT_EQ(Html("<img src=x onerror=alert(1)>"),
            "&lt;img src=x onerror=alert(1)&gt;");
  EXPECT_EQ(Html("Tom & Jerry's \"best\""),
            "Tom &amp; Jerry&#39;s &quot;best&quot;");
  EXPECT_EQ(Html("caf\xe9 a#b 100%"), "caf\xe9 a#b 100%");
  EXPECT_EQ(Html(""), "");
  // "a&" takes 1 + 5 bytes and the terminator.
  EXPECT_EQ(Html("a&", 6), "<refused>");
  EXPECT_EQ(Html("a&", 7), "a&amp;");
  EXPECT_EQ(Html("abc", 3), "<refused>");
  EXPECT_EQ(Html("abc", 4), "abc");
}

TEST(MirtListingNames, LinksEscapeEverythingThatCannotStandInAUrl) {
  EXPECT_EQ(Href("<img src=x onerror=alert(1)>"),
            "%3Cimg%20src=x%20onerror=alert(1)%3E");
  EXPECT_EQ(Href("a#b.txt"), "a%23b.txt");
  EXPECT_EQ(Href("q?x&y=\"1\" 'z'"), "q%3Fx%26y=%221%22%20%27z%27");
  EXPECT_EQ(Href("caf\xe9\xfe.txt"), "caf%E9%FE.txt");
  EXPECT_EQ(Href("back\\slash/"), "back%5Cslash%2F");
  EXPECT_EQ(Href("100%"), "100%25");
  EXPECT_EQ(Href("~a-b_c.d!$()*+,;=@"), "~a-b_c.d!$()*+,;=@");
  EXPECT_EQ(Href("a b", 5), "<refused>");
  EXPECT_EQ(Href("a b", 6), "a%20b");
}

TEST(MirtListingNames, NamesNoRequestCanReachGetNoLink) {
  // Decoding runs code by code in ascending order up to FE: %2541 comes
  // back as "A", and FF is never decoded.
  EXPECT_EQ(Decoded("%2541"), "A");
  EXPECT_EQ(Href("%41"), "<refused>");
  EXPECT_EQ(Href("x%2F"), "<refused>");
  EXPECT_EQ(Href("x%2f"), "<refused>");  // hex digits of either case
  EXPECT_EQ(Href("\xff.txt"), "<refused>");
  // A '%' before a code at or below 25, before non-hex digits, or before
  // FF still comes back whole.
  for (const char *name : {"%25", "%20x", "%1F", "%0A", "%0a", "%FF", "%ff", "%G1",
                           "100%", "%%", "%4"}) {
    std::string href = Href(name);
    ASSERT_NE(href, "<refused>") << name;
    EXPECT_EQ(Decoded(href), name) << href;
  }
}

// Every name of up to three bytes from characters that interact with the
// decoding either gets no link or a link that decodes to exactly the name.
TEST(MirtListingNames, EveryLinkDecodesBackToItsName) {
  const std::string alphabet = std::string("%2541FAf #\"<") + "\x80\xfe\xff" +
                               "0";
  int linked = 0, refused = 0;
  std::string name;
  for (char a : alphabet)
    for (char b : alphabet)
      for (char c : alphabet)
        for (int len = 1; len <= 3; len++) {
          char bytes[3] = {a, b, c};
          name.assign(bytes, (size_t)len);
          std::string href = Href(name);
          if (href == "<refused>") {
            // Only a '%' or a byte FF can keep a name from its link.
            ASSERT_TRUE(name.find_first_of("%\xff") != std::string::npos)
                << name;
            refused++;
            continue;
          }
          linked++;
          for (unsigned char ch : href)
            ASSERT_TRUE(isalnum(ch) || strchr("-._~!$()*+,;=@%", ch))
                << "href of " << name << ": " << href;
          ASSERT_EQ(Decoded(href), name) << href;
        }
  EXPECT_GT(linked, 0);
  EXPECT_GT(refused, 0);
}

}  // namespace
