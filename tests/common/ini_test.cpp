#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "ini.h"

using harness::TempDir;
using harness::WriteFile;

namespace {

struct IniFile {
  TempDir dir;
  std::string path = dir / "f.ini";  // the reader keeps a pointer to it
  Ini ini;
  int rc;
  explicit IniFile(const std::string &text) {
    WriteFile(path, text);
    rc = OpenIni(&ini, path.c_str());
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
      // Absent keys say so, and their apply runs.
      {"x\nCount=5\n", "given:5:5;absent::0;absent::0;end::0;absent::0;absent::0;",
       "The line 'Gone=' is missing.\nUsing Gone=7.\nThe line 'After=' is missing.\n", 0},
      // Any refusal stops the reading where it stands, named by its line:
      // in the key's own words, or with the form it wants; nothing after
      // it is read or applied.
      {"x\nCount=abc\n", "", "f.ini:2: Count abc is out.\n", -1},
      {"x\nCount=10\n", "", "f.ini:2: Count 10 is out.\n", -1},
      {"x\nCount=5\nGone=1x\n", "given:5:5;",
       "f.ini:3: Gone=1x is not a whole number from -9223372036854775808 to "
       "9223372036854775807.\n",
       -1},
      // Too long for its buffer is refused, not passed over.
      {"x\nCount=5\nGone=-1\nName=abcde\n", "given:5:5;given:-1:-1;",
       "f.ini:4: Name= is longer than 4 characters.\n", -1},
      {"x\nCount=5\nGone=1\nAdd=4\nAdd=\n", "given:5:5;given:1:1;absent::0;given:4:0;",
       "f.ini:5: Add empty.\n", -1},
      {"x\nCount=5\nGone=+1\nAdd=4\nAdd=x4\n", "given:5:5;given:+1:1;absent::0;given:4:0;",
       "f.ini:5: Bad x4.\n", -1},
      {"x\nCount=1\nGone=1\nPort=65536\n", "given:1:1;given:1:1;absent::0;end::0;",
       "f.ini:4: Port=65536 stops.\n", -1},
  };
  for (const Case &c : cases) {
    IniFile f(c.text);
    Seen seen;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ReadKeys(&f.ini, kTable, &seen, 32), c.rc) << c.text;
    std::string said = testing::internal::GetCapturedStderr();
    std::string dir = f.dir.path() + "/";
    for (size_t at; (at = said.find(dir)) != std::string::npos;) said.erase(at, dir.size());
    EXPECT_EQ(said, c.said) << c.text;
    EXPECT_EQ(seen.log, c.seen) << c.text;
  }
}

}  // namespace
