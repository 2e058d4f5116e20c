#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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

// The calendar arithmetic against the C library's, across leap days,
// centuries, times before 1970 and the last second of year 9999, asked
// in an order that makes the remembered texts come and go.
TEST(Dates, TextsAgreeWithGmtimeFromYearZeroToYear9999) {
  const int64_t kFirst = -62167219200LL;  // 0000-01-01 00:00:00
  const int64_t kLast = 253402300799LL;   // 9999-12-31 23:59:59
  std::vector<int64_t> times = {kFirst, kLast, 0, -1, 951782399, 951782400,
                                4107542399LL, 4107542400LL, -2203891200LL};
  for (int64_t t = kFirst; t < kLast; t += 7777777 + t % 86399) times.push_back(t);
  for (size_t i = 0; i < times.size(); i++) {
    int64_t t = times[i];
    for (int64_t again : {t, times[i / 2], t}) {
      struct tm tm;
      time_t tt = (time_t)again;
      ASSERT_NE(gmtime_r(&tt, &tm), nullptr);
      char want[64], wantShort[64];
      snprintf(want, sizeof want, "%s, %.2d %s %d %.2d:%.2d:%.2d", week[tm.tm_wday],
               tm.tm_mday, mon[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
               tm.tm_sec);
      snprintf(wantShort, sizeof wantShort, "%s %.2d %.2d:%.2d", mon[tm.tm_mon],
               tm.tm_mday, tm.tm_hour, tm.tm_min);
      char b[26], c[13];
      EXPECT_EQ(GetDateARPANET(b, tt), (int)strlen(want)) << again;
      EXPECT_STREQ(b, want) << again;
      EXPECT_EQ(get_date(c, tt), (int)strlen(wantShort)) << again;
      EXPECT_STREQ(c, wantShort) << again;
    }
  }
  char b[26] = "junk", c[13] = "junk";
  GetDateARPANET(b, (time_t)(kFirst - 1));
  EXPECT_STREQ(b, "");
  get_date(c, (time_t)(kLast + 1));
  EXPECT_STREQ(c, "");
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

TEST(Strings, FindLineStartsFindsWhatStristrFinds) {
  const char *const needles[] = {"\nHost: ", "\nRange: bytes=", "\nConnection:",
                                 "\nX-Absent: ", "\nhost"};
  const size_t count = sizeof needles / sizeof *needles;
  for (const char *head : {
           "GET / HTTP/1.1\r\nHOST: a\r\nrange: items=1\r\nRange: BYTES=2\r\n\r\n",
           "Host: first line only\r\n\r\n",
           "GET /\nconnection:close\nHost: a\nHost: b\n\n",
           "GET /\r\nHos", "", "\n", "\nHost: "}) {
    const char *found[count];
    FindLineStarts(head, needles, count, found);
    for (size_t i = 0; i < count; i++)
      EXPECT_EQ(found[i], stristr(head, needles[i])) << head << " / " << needles[i];
  }
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
