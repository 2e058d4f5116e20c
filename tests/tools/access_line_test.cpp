// Taking access lines and their dates apart, and reading lines of any
// length from a file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "access_line.h"
#include "dates.h"
#include "harness.h"
#include "line_reader.h"

namespace {

std::string S(const Span &s) { return std::string(s.text, s.len); }

TEST(ToolsAccessLine, TakesTheFieldsApart) {
  const std::string line = "127.0.0.1 [Sun, 06 Nov 1994 08:49:37] GET /index.html 200 1234";
  AccessLine a;
  const char *reason = nullptr;
  ASSERT_EQ(ParseAccessLine(line.data(), line.size(), &a, &reason), 0) << reason;
  EXPECT_EQ(S(a.address), "127.0.0.1");
  EXPECT_EQ(a.time, 784111777);
  EXPECT_EQ(S(a.method), "GET");
  EXPECT_EQ(S(a.path), "/index.html");
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.bytes, 1234u);
}

TEST(ToolsAccessLine, EmptyFieldsBlanksInPathsAndHugeCounts) {
  AccessLine a;
  const char *reason = nullptr;
  // A client that sent nothing: empty method and path, three blanks.
  std::string line = "10.1.2.3 [Thu, 01 Jan 1970 00:00:00]   500 0";
  ASSERT_EQ(ParseAccessLine(line.data(), line.size(), &a, &reason), 0) << reason;
  EXPECT_EQ(S(a.method), "");
  EXPECT_EQ(S(a.path), "");
  EXPECT_EQ(a.status, 500);
  EXPECT_EQ(a.time, 0);
  // A request that failed before its path was known.
  line = "10.1.2.3 [Thu, 01 Jan 1970 00:00:00] BREW  400 99";
  ASSERT_EQ(ParseAccessLine(line.data(), line.size(), &a, &reason), 0) << reason;
  EXPECT_EQ(S(a.method), "BREW");
  EXPECT_EQ(S(a.path), "");
  // A decoded path keeps its blanks, even ones that look like fields.
  line = "10.1.2.3 [Thu, 01 Jan 1970 00:00:00] GET /my file 200 7.txt 206 18446744073709551615\r";
  ASSERT_EQ(ParseAccessLine(line.data(), line.size(), &a, &reason), 0) << reason;
  EXPECT_EQ(S(a.path), "/my file 200 7.txt");
  EXPECT_EQ(a.status, 206);
  EXPECT_EQ(a.bytes, 18446744073709551615u);
}

TEST(ToolsAccessLine, ReadsTheCombinedAndCommonLogFormats) {
  AccessLine a;
  const char *reason = nullptr;
  // Escaped quotes and backslashes stay inside their field; the query is
  // not part of the path; the time is brought to UTC.
  std::string line =
      "::1 - alice [06/Nov/1994:10:49:37 +0200] \"GET /a%20b?x=\\\"1\\\" HTTP/1.1\" 404 12 "
      "\"http://r.example/\" \"Agent \\\"quoted\\\" \\\\ x\"";
  ASSERT_EQ(ParseAccessLine(line.data(), line.size(), &a, &reason), 0) << reason;
  EXPECT_EQ(S(a.address), "::1");
  EXPECT_EQ(a.time, 784111777);
  EXPECT_EQ(S(a.method), "GET");
  EXPECT_EQ(S(a.path), "/a%20b");
  EXPECT_EQ(S(a.query), "x=\\\"1\\\"");
  EXPECT_EQ(S(a.vhost), "");
  EXPECT_EQ(a.status, 404);
  EXPECT_EQ(a.bytes, 12u);
  EXPECT_EQ(S(a.referer), "http://r.example/");
  EXPECT_EQ(S(a.agent), "Agent \\\"quoted\\\" \\\\ x");
  // Common Log Format: no referrer or agent; "-" bytes and request.
  line = "10.0.0.1 - - [01/Jan/1970:00:00:00 -0130] \"-\" 408 -";
  ASSERT_EQ(ParseAccessLine(line.data(), line.size(), &a, &reason), 0) << reason;
  EXPECT_EQ(a.time, 5400);
  EXPECT_EQ(S(a.method), "");
  EXPECT_EQ(S(a.path), "");
  EXPECT_EQ(a.bytes, 0u);
  EXPECT_EQ(S(a.referer), "");
  // With the virtual host in front.
  line = "www.example:443 10.0.0.1 - - [01/Jan/1970:00:00:00 +0000] \"GET / HTTP/1.0\" 200 5 "
         "\"-\" \"-\"";
  ASSERT_EQ(ParseAccessLine(line.data(), line.size(), &a, &reason), 0) << reason;
  EXPECT_EQ(S(a.vhost), "www.example:443");
  EXPECT_EQ(S(a.address), "10.0.0.1");
  line = line.substr(16);
  ASSERT_EQ(ParseAccessLine(line.data(), line.size(), &a, &reason), 0) << reason;
  EXPECT_EQ(S(a.vhost), "");
  EXPECT_EQ(S(a.referer), "");
  EXPECT_EQ(S(a.agent), "");

  const std::string head = "10.0.0.1 - - [06/Nov/1994:08:49:37 +0000] ";
  struct {
    std::string line, reason;
  } bad[] = {
      {"10.0.0.1 - - 06/Nov/1994:08:49:37 +0000] \"GET / HTTP/1.0\" 200 5", "bad date"},
      {"10.0.0.1 - - [31/Nov/1994:08:49:37 +0000] \"GET / HTTP/1.0\" 200 5", "bad date"},
      {"10.0.0.1 - - [06/Nov/1994:08:49:37] \"GET / HTTP/1.0\" 200 5", "bad date"},
      {head + "\"GET / HTTP/1.0 200 5", "missing fields"},
      {head + "\"GET / HTTP/1.0\" 20 5", "bad status"},
      {head + "\"GET / HTTP/1.0\" 200 x", "bad byte count"},
      {head + "\"GET / HTTP/1.0\" 200 5 \"ref\"", "missing fields"},
      {head + "\"GET / HTTP/1.0\" 200 5 \"ref\" \"agent", "missing fields"},
  };
  for (auto &c : bad) {
    EXPECT_EQ(ParseAccessLine(c.line.data(), c.line.size(), &a, &reason), -1) << c.line;
    EXPECT_EQ(std::string(reason), c.reason) << c.line;
  }
}

TEST(ToolsAccessLine, BadLinesSayWhatIsWrong) {
  const std::string date = " [Sun, 06 Nov 1994 08:49:37] ";
  struct {
    std::string line, reason;
  } cases[] = {
      {"", "bad client address"},
      {"garbage", "bad client address"},
      {"1.2.3" + date + "GET / 200 1", "bad client address"},
      {"127.0.0.1", "bad date"},
      {"127.0.0.1 Sun, 06 Nov 1994 08:49:37] GET / 200 1", "bad date"},
      {"127.0.0.1 [Mon, 06 Nov 1994 08:49:37] GET / 200 1", "bad date"},  // wrong weekday
      {"127.0.0.1 [Sun, 06 Nov 1994 08:49:37 GET / 200 1", "bad date"},
      {"127.0.0.1 [Fri, 29 Feb 2023 00:00:00] GET / 200 1", "bad date"},
      {"127.0.0.1 [Sun, 06 Nov 1994 24:00:00] GET / 200 1", "bad date"},
      {"127.0.0.1 []   500 0", "bad date"},
      {"127.0.0.1" + date + "200 1", "missing fields"},
      {"127.0.0.1" + date + "GET / 2000 1", "bad status"},
      {"127.0.0.1" + date + "GET / 099 1", "bad status"},
      {"127.0.0.1" + date + "GET / OK 1", "bad status"},
      {"127.0.0.1" + date + "GET / 200 -1", "bad byte count"},
      {"127.0.0.1" + date + "GET / 200 18446744073709551616", "bad byte count"},
      {"127.0.0.1" + date + "GET / 200 ", "bad byte count"},
      {"127.0.0.1" + date + "GET index.html 200 1", "bad path"},
      {"127.0.0.1" + date + std::string("GET /\0 200 1", 12), "NUL byte in line"},
  };
  for (auto &c : cases) {
    AccessLine a;
    const char *reason = nullptr;
    EXPECT_EQ(ParseAccessLine(c.line.data(), c.line.size(), &a, &reason), -1) << c.line;
    EXPECT_EQ(reason ? std::string(reason) : "", c.reason) << c.line;
  }
}

TEST(ToolsAccessLine, ReadsBackEveryDateTheServerWrites) {
  // From the epoch across leap days and centuries to the last four-digit year.
  for (int64_t t : {(int64_t)0, (int64_t)951782400, (int64_t)951868799, (int64_t)1709164800,
                    (int64_t)4107542399, (int64_t)253402300799}) {
    char text[32];
    ASSERT_GT(GetDateARPANET(text, (time_t)t), 0);
    int64_t back = -1;
    EXPECT_EQ(ParseLogDate(text, strlen(text), &back), 0) << text;
    EXPECT_EQ(back, t) << text;
    // The summary writes its dates back in the same shape.
    char again[26];
    FormatLogDate(t, again);
    EXPECT_STREQ(again, text);
  }
  int64_t t = 0;
  EXPECT_EQ(ParseLogDate("Tue, 29 Feb 2000 12:00:00", 25, &t), 0);
  EXPECT_EQ(ParseLogDate("Thu, 29 Feb 1900 12:00:00", 25, &t), -1);
  EXPECT_EQ(ParseLogDate("Sun, 06 Xyz 1994 08:49:37", 25, &t), -1);
  EXPECT_EQ(ParseLogDate("Sun, 6 Nov 1994 08:49:37", 24, &t), -1);
}

TEST(ToolsLineReader, LongLinesAreCutAndTheRestSkipped) {
  harness::TempDir dir;
  std::string longLine(LineBlockSize * 2 + 17, 'L');
  std::string exact(MaxLineLength, 'E');
  harness::WriteFile(dir / "f", "one\n" + longLine + "\n" + exact + "\n\nlast");
  gzFile f = gzopen((dir / "f").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  LineReader *r = new LineReader;
  StartLines(r, f);
  Line line;
  std::vector<std::string> texts;
  std::vector<int> flags;
  while (NextLine(r, &line) == 1) {
    texts.push_back(std::string(line.text, line.len));
    flags.push_back((line.cut ? 1 : 0) + (line.complete ? 2 : 0));
  }
  gzclose(f);
  delete r;
  ASSERT_EQ(texts.size(), 5u);
  EXPECT_EQ(texts[0], "one");
  EXPECT_EQ(texts[1], std::string(MaxLineLength, 'L'));
  EXPECT_EQ(flags[1] & 1, 1);
  EXPECT_EQ(texts[2], exact);
  EXPECT_EQ(flags[2], 2);
  EXPECT_EQ(texts[3], "");
  EXPECT_EQ(texts[4], "last");
  EXPECT_EQ(flags[4], 0);  // no line feed at the end of the file
}

}  // namespace
