#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "bounded_text.h"

TEST(BoundedText, FillsTemplatesAndNumbers) {
  char buf[128];
  BoundedText t = TextIn(buf, sizeof buf);
  char a[21], b[21];
  PutFilled(&t, "%s %s 100%% %s|%q", "HTTP/1.0", UnsignedText(a, UINT64_MAX),
            SignedText(b, INT64_MIN));
  EXPECT_TRUE(t.fits);
  EXPECT_STREQ(buf, "HTTP/1.0 18446744073709551615 100% -9223372036854775808|%q");
  EXPECT_EQ(t.length, strlen(buf));
  PutUnsigned(&t, 0);
  PutSigned(&t, -7);
  PutChar(&t, '/');
  PutHex(&t, 0x6769f2a1);
  PutHex(&t, 0);
  EXPECT_EQ(std::string(buf + t.length - 13), "0-7/6769f2a10");
  // A "%s" without a text is left out; the rest of the template stays.
  t = TextIn(buf, sizeof buf);
  PutFilled(&t, "[%s][%s]", "one");
  EXPECT_STREQ(buf, "[one][]");
}

TEST(BoundedText, APieceThatDoesNotFitIsLeftOutWithAllAfterIt) {
  char buf[8];
  BoundedText t = TextIn(buf, sizeof buf);
  PutText(&t, "abcd");
  PutText(&t, "efgh");  // would need 9 bytes with the NUL
  EXPECT_FALSE(t.fits);
  PutText(&t, "x");  // no later piece either
  EXPECT_STREQ(buf, "abcd");
  EXPECT_EQ(t.length, 4u);
  // Exactly full: seven bytes and the NUL.
  t = TextIn(buf, sizeof buf);
  PutFilled(&t, "%s%s", "abc", "defg");
  EXPECT_TRUE(t.fits);
  EXPECT_STREQ(buf, "abcdefg");
  // Within a template, the text that does not fit goes whole, the rest too.
  t = TextIn(buf, sizeof buf);
  PutFilled(&t, "ab%scd", "123456");
  EXPECT_FALSE(t.fits);
  EXPECT_STREQ(buf, "ab");
  EXPECT_EQ(t.length, 2u);
  // Continuing a text: the length given is kept, the NUL follows it.
  char line[16] = "head";
  t = TextIn(line, sizeof line, 4);
  PutUnsigned(&t, 42);
  EXPECT_STREQ(line, "head42");
  // A length beyond the room is a text that no longer fits.
  t = TextIn(line, 4, 9);
  EXPECT_FALSE(t.fits);
  EXPECT_EQ(t.length, 3u);
}
