#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "dates.h"
#include "string_helpers.h"

TEST(Dates, ArpanetTexts) {
  char b[26];
  GetDateARPANET(b, 784111777);
  EXPECT_STREQ(b, "Sun, 06 Nov 1994 08:49:37");
  GetDateARPANET(b, 0);
  EXPECT_STREQ(b, "Thu, 01 Jan 1970 00:00:00");
  GetDateARPANET(b, 951782400);
  EXPECT_STREQ(b, "Tue, 29 Feb 2000 00:00:00");
}

TEST(Dates, ListingTexts) {
  char b[13];
  get_date(b, 784111777);
  EXPECT_STREQ(b, "Nov 06 08:49");
  get_date(b, 0);
  EXPECT_STREQ(b, "Jan 01 00:00");
}

TEST(Dates, YearsThatDoNotFitGiveEmptyText) {
  char b[26] = "junk";
  GetDateARPANET(b, (time_t)INT64_MAX);
  EXPECT_STREQ(b, "");
  char c[13] = "junk";
  get_date(c, (time_t)400000000000LL);  // year 14645
  EXPECT_STREQ(c, "");
}

TEST(Strings, StristrFoldsAsciiOnly) {
  const char *line = "host: example\r\n";
  EXPECT_EQ(stristr(line, "HOST:"), line);
  const char *r = "xxRange: b";
  EXPECT_EQ(stristr(r, "RANGE:"), r + 2);
  EXPECT_EQ(stristr("\xc9t\xc9", "\xe9t\xe9"), nullptr);
  EXPECT_EQ(stristr("", ""), nullptr);
  const char *s = "abc";
  EXPECT_EQ(stristr(s, ""), s);
  EXPECT_EQ(stristr("ab", "abc"), nullptr);
}

TEST(Strings, RemoveTrailingCutsOneSeparator) {
  char a[] = "/";
  RemoveTrailing(a);
  EXPECT_STREQ(a, "");
  char b[] = "c:\\x\\\\";
  RemoveTrailing(b);
  EXPECT_STREQ(b, "c:\\x\\");
  char c[] = "/srv/ftp/";
  RemoveTrailing(c);
  EXPECT_STREQ(c, "/srv/ftp");
  char d[] = "";
  RemoveTrailing(d);
  EXPECT_STREQ(d, "");
}

TEST(Strings, WindowizeString) {
  char a[] = "a/b/c";
  EXPECT_EQ(WindowizeString(a), 5u);
  EXPECT_STREQ(a, "a\\b\\c");
}

TEST(Strings, ParseLongReadsLikeAtolAndSaturates) {
  EXPECT_EQ(ParseLong("  42abc"), 42);
  EXPECT_EQ(ParseLong("-17"), -17);
  EXPECT_EQ(ParseLong("+3000000000"), 3000000000LL);
  EXPECT_EQ(ParseLong("abc"), 0);
  EXPECT_EQ(ParseLong("99999999999999999999999"), INT64_MAX);
  EXPECT_EQ(ParseLong("-99999999999999999999999"), INT64_MIN);
  EXPECT_EQ(ParseInt("99999999999"), INT_MAX);
  EXPECT_EQ(ParseInt("-99999999999"), INT_MIN);
}

TEST(Strings, LogEscapeKeepsOneEntryOnOneLine) {
  char out[64];
  EXPECT_STREQ(LogEscape(out, sizeof out, "USER a\r\nPASS\x7f"), "USER a\\x0d\\x0aPASS\\x7f");
  char small[7];
  EXPECT_STREQ(LogEscape(small, sizeof small, "ab\rcdef"), "ab\\x0d");
}
