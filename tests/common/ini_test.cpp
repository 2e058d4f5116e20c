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

}  // namespace
