#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "ini.h"

using harness::TempDir;
using harness::WriteFile;

namespace {

struct IniFile {
  TempDir dir;
  Ini ini;
  int rc;
  explicit IniFile(const std::string &text) {
    WriteFile(dir / "f.ini", text);
    rc = OpenIni(&ini, (dir / "f.ini").c_str());
  }
  ~IniFile() { CloseIni(&ini); }
  std::string Get(const char *key, size_t size = 128) {
    char v[256];
    return ReadIni(&ini, v, size, key) == 0 ? std::string(v) : std::string("<missing>");
  }
};

TEST(Ini, FirstLineIsNeverIndexed) {
  IniFile f("Port=21\nAddress=1.2.3.4\n");
  ASSERT_EQ(f.rc, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(f.Get("Port="), "<missing>");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "The line 'Port=' is missing.\n");
  EXPECT_EQ(f.Get("Address="), "1.2.3.4");
}

TEST(Ini, LineEndsLfCrLfAndCrGiveTheSameValues) {
  for (const char *eol : {"\n", "\r\n", "\r"}) {
    std::string e = eol;
    IniFile f(";c" + e + "Port=2121" + e + "Dir=/x" + e);
    ASSERT_EQ(f.rc, 0) << "eol " << e.size();
    EXPECT_EQ(f.Get("Port="), "2121");
    EXPECT_EQ(f.Get("Dir="), "/x");
  }
}

TEST(Ini, CommentsBlanksAndExactKeys) {
  IniFile f("x\n;Port=1\n Port=2\nport=3\nPort = 4\nPort=21 ;x\nEmpty=\n");
  EXPECT_EQ(f.Get("Port="), "21 ;x");
  EXPECT_EQ(f.Get("Empty="), "");
  EXPECT_EQ(f.Get("Port =", 128), " 4");  // the key is whatever bytes the caller gives
}

TEST(Ini, ValueLimitIsSizeMinusTwo) {
  std::string v30(30, 'a'), v31(31, 'b');
  IniFile f("x\nA=" + v30 + "\nB=" + v31 + "\n");
  EXPECT_EQ(f.Get("A=", 32), v30);
  testing::internal::CaptureStderr();
  EXPECT_EQ(f.Get("B=", 32), "<missing>");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "The line 'B=' is missing.\n");
}

TEST(Ini, TooLongValueFallsThroughToALaterLine) {
  IniFile f("x\nA=" + std::string(40, 'z') + "\nA=short\n");
  EXPECT_EQ(f.Get("A=", 32), "short");
}

TEST(Ini, FirstOfRepeatedKeysInSingleMode) {
  IniFile f("x\nPort=21\nPort=2121\n");
  EXPECT_EQ(f.Get("Port="), "21");
  EXPECT_EQ(f.Get("Port="), "21");
}

TEST(Ini, WalkReturnsRepeatedKeysInFileOrder) {
  IniFile f("x\nAddCommand=RETR\nOther=1\nAddCommand=STOR\nAddCommand=LIST\nLast=9\n");
  char v[128];
  std::string got;
  uint32_t at = 0;
  testing::internal::CaptureStderr();
  while (IniNext(&f.ini, &at, "AddCommand=", v, sizeof v) == 0) got += std::string(v) + ",";
  EXPECT_EQ(IniNext(&f.ini, &at, "AddCommand=", v, sizeof v), -1);
  // The end of a walk, and an optional key that is absent, are silent.
  EXPECT_EQ(IniFind(&f.ini, "Absent=", v, sizeof v), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(got, "RETR,STOR,LIST,");
  // A lookup between walks, or during one, starts at the top.
  at = 0;
  ASSERT_EQ(IniNext(&f.ini, &at, "AddCommand=", v, sizeof v), 0);
  EXPECT_STREQ(v, "RETR");
  EXPECT_EQ(f.Get("Other="), "1");
  ASSERT_EQ(IniNext(&f.ini, &at, "AddCommand=", v, sizeof v), 0);
  EXPECT_STREQ(v, "STOR");
  ASSERT_EQ(IniFind(&f.ini, "Other=", v, sizeof v), 0);
  EXPECT_STREQ(v, "1");
}

TEST(Ini, TableHolds256IndexedLines) {
  std::string ok = "first\n;comments do not count\n";
  for (int i = 0; i < 255; i++) ok += "K" + std::to_string(i) + "=v\n";
  ok += "\n";  // empty lines do count: this is line 256
  {
    IniFile f(ok + ";c\n");
    EXPECT_EQ(f.rc, 0);
    EXPECT_EQ(f.ini.count, 256u);
  }
  testing::internal::CaptureStderr();
  IniFile g(ok + "K999=v\n");
  EXPECT_EQ(g.rc, -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Table size exceeded.\n");
}

TEST(Ini, EmptyMissingAndNulTerminatedFiles) {
  IniFile empty("");
  EXPECT_EQ(empty.rc, -1);
  Ini ini;
  EXPECT_EQ(OpenIni(&ini, "/nonexistent/file.ini"), -1);
  EXPECT_EQ(CloseIni(&ini), 0);
  IniFile nul(std::string("x\nA=1\n\0B=2\n", 11));
  EXPECT_EQ(nul.Get("A="), "1");
  EXPECT_EQ(nul.Get("B="), "<missing>");
}

// A record for the table reader: what each key's apply was handed.
struct Seen {
  std::string log;
};
int Note(Seen *r, const IniValue &v) {
  static const char *const kState[] = {"absent", "given", "refused", "end"};
  r->log += std::string(kState[(int)v.state]) + ":" + v.text + ":" + std::to_string(v.number) + ";";
  return 0;
}
const IniEntry<Seen> kTable[] = {
    {{"Count=", IniType::kNumber, kIniNoteAbsent, nullptr, "Count %s is out.\n", nullptr, 1, 9},
     Note},
    {{"Gone=", IniType::kNumber, kIniNoteAbsent, "Using Gone=7.\n"}, Note},
    {{"Name=", IniType::kText, 0, nullptr, nullptr, "Name empty.\n", INT64_MIN, INT64_MAX,
      nullptr, 6},
     Note},
    {{"Add=", IniType::kRepeated, kIniNotEmpty | kIniRefusedStops, nullptr, "Bad %s.\n",
      "Add empty.\n", INT64_MIN, INT64_MAX, IniDigitsOnly},
     Note},
    {{"Port=", IniType::kPort, kIniRefusedStops, nullptr, "Port=%s stops.\n"}, Note},
    {{"After=", IniType::kText, kIniNoteAbsent}, Note},
};

TEST(IniTable, BoundsDefaultsListsAndStops) {
  struct Case {
    const char *text, *seen, *said;
    int rc;
  } cases[] = {
      // In range; a key's own buffer size; a list settled after its lines.
      {"x\nCount=9\nGone=2\nName=abcd\nAdd=1\nPort=80\nAfter=\nAdd=2\n",
       "given:9:9;given:2:2;given:abcd:0;given:1:0;given:2:0;end::0;given:80:80;given::0;", "",
       0},
      // Unreadable is refused with the value, and the reading goes on;
      // absent keys say so; too long for its buffer is absent; an empty
      // list item is skipped.
      {"x\nCount=abc\nName=abcde\nAdd=\n",
       "refused:abc:0;absent::0;absent::0;end::0;absent::0;absent::0;",
       "Count abc is out.\nThe line 'Gone=' is missing.\nUsing Gone=7.\nAdd empty.\n"
       "The line 'After=' is missing.\n",
       0},
      // Below and above the bounds; a refusal that stops: nothing after it
      // is read or applied.
      {"x\nCount=0\nGone=0\nAdd=4\nAdd=x4\nAdd=5\n",
       "refused:0:0;given:0:0;absent::0;given:4:0;", "Count 0 is out.\nBad x4.\n", -1},
      {"x\nCount=10\nGone=1\nPort=65536\n", "refused:10:10;given:1:1;absent::0;end::0;",
       "Count 10 is out.\nPort=65536 stops.\n", -1},
  };
  for (const Case &c : cases) {
    IniFile f(c.text);
    Seen seen;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ReadKeys(&f.ini, kTable, &seen, 32), c.rc) << c.text;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.said) << c.text;
    EXPECT_EQ(seen.log, c.seen) << c.text;
  }
}

}  // namespace
