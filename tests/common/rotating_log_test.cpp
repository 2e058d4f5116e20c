#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <string>

#include "harness.h"
#include "ini.h"
#include "rotating_log.h"

using harness::Exists;
using harness::ReadFile;
using harness::TempDir;

namespace {

Log MakeLog(const std::string &dir, uint32_t rotation, uint32_t maxEntries,
            int64_t maxAge = INT64_MAX) {
  Log log;
  snprintf(log.dir, sizeof log.dir, "%s", dir.c_str());
  log.rotation = rotation;
  log.maxEntries = maxEntries;
  log.maxAge = maxAge;
  InitLog(&log);
  return log;
}

void Line(Log *log, const std::string &text, time_t stamp = time(nullptr)) {
  char date[26];
  FILE *f = LogBegin(log, stamp, date);
  if (f) fprintf(f, "%s %s\n", date, text.c_str());
}

// Lines written, without their dates.
std::string Texts(const std::string &path) {
  std::string all = ReadFile(path), out;
  size_t pos = 0;
  while (pos < all.size()) {
    size_t nl = all.find('\n', pos);
    std::string line = all.substr(pos, nl - pos);
    out += line.substr(26) + ",";
    pos = nl + 1;
  }
  return out;
}

TEST(RotatingLog, RingOfThreeByCount) {
  TempDir d;
  Log log = MakeLog(d.path() + "/", 3, 2);  // trailing '/' is removed
  ASSERT_EQ(OpenLog(&log), 0);
  for (int i = 1; i <= 7; i++) Line(&log, std::to_string(i));
  CloseLog(&log);
  // The line that makes rotation due goes to the new file: the first file
  // gets LogMaxEntries - 1 lines, each later one LogMaxEntries.
  EXPECT_EQ(Texts(d / "log0002.log"), "2,3,");
  EXPECT_EQ(Texts(d / "log0003.log"), "4,5,");
  EXPECT_EQ(Texts(d / "log0001.log"), "6,7,");  // truncated on reopening
  EXPECT_FALSE(Exists(d / "log0004.log"));
}

TEST(RotatingLog, OneFileNeverRotates) {
  TempDir d;
  Log log = MakeLog(d.path(), 1, 2, 1);
  ASSERT_EQ(OpenLog(&log), 0);
  for (int i = 1; i <= 5; i++) Line(&log, std::to_string(i), time(nullptr) + 100000);
  CloseLog(&log);
  EXPECT_EQ(Texts(d / "log0001.log"), "1,2,3,4,5,");
  EXPECT_FALSE(Exists(d / "log0002.log"));
}

TEST(RotatingLog, ByAgeStrictlyLater) {
  TempDir d;
  Log log = MakeLog(d.path(), 2, 0, 3600);
  ASSERT_EQ(OpenLog(&log), 0);
  time_t opened = (time_t)log.opened;
  Line(&log, "a", opened + 3600);  // exactly the age: stays
  Line(&log, "b", opened - 50);    // older than the file: never rotates
  Line(&log, "c", opened + 3601);  // past the age: next file
  CloseLog(&log);
  EXPECT_EQ(Texts(d / "log0001.log"), "a,b,");
  EXPECT_EQ(Texts(d / "log0002.log"), "c,");
}

TEST(RotatingLog, MaxEntriesOneLeavesFirstFileEmpty) {
  TempDir d;
  Log log = MakeLog(d.path(), 3, 1);
  ASSERT_EQ(OpenLog(&log), 0);
  Line(&log, "a");
  Line(&log, "b");
  CloseLog(&log);
  EXPECT_EQ(ReadFile(d / "log0001.log"), "");
  EXPECT_EQ(Texts(d / "log0002.log"), "a,");
  EXPECT_EQ(Texts(d / "log0003.log"), "b,");
}

// Gives the file a modification time `age` seconds in the past.
void Age(const std::string &path, int age) {
  struct timespec t[2];
  clock_gettime(CLOCK_REALTIME, &t[0]);
  t[0].tv_sec -= age;
  t[1] = t[0];
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, 0), 0) << path;
}

TEST(RotatingLog, RestartContinuesAfterTheNewestFile) {
  TempDir d;
  harness::WriteFile(d / "log0001.log", "old\n");
  harness::WriteFile(d / "log0002.log", "newest\n");
  harness::WriteFile(d / "log0003.log", "older\n");
  harness::WriteFile(d / "log0009.log", "outside the ring\n");
  Age(d / "log0001.log", 300);
  Age(d / "log0002.log", 100);
  Age(d / "log0003.log", 200);
  Log log = MakeLog(d.path(), 3, 0);
  EXPECT_EQ(log.number, 3u);
  ASSERT_EQ(OpenLog(&log), 0);
  Line(&log, "a");
  CloseLog(&log);
  EXPECT_EQ(ReadFile(d / "log0002.log"), "newest\n");
  EXPECT_EQ(ReadFile(d / "log0001.log"), "old\n");
  EXPECT_EQ(Texts(d / "log0003.log"), "a,");

  // The newest being the ring's last file, the ring starts over at 1.
  Age(d / "log0002.log", 400);
  log = MakeLog(d.path() + "/", 3, 0);
  EXPECT_EQ(log.number, 1u);

  // Nothing there yet: log0001.
  TempDir empty;
  EXPECT_EQ(MakeLog(empty.path(), 3, 0).number, 1u);
}

TEST(RotatingLog, RestartAppendsToTheSingleFile) {
  TempDir d;
  harness::WriteFile(d / "log0001.log", "earlier run\n");
  Log log = MakeLog(d.path(), 1, 0);
  ASSERT_EQ(OpenLog(&log), 0);
  Line(&log, "b");
  CloseLog(&log);
  std::string all = ReadFile(d / "log0001.log");
  EXPECT_EQ(all.substr(0, 12), "earlier run\n");
  EXPECT_NE(all.find(" b\n"), std::string::npos) << all;
}

TEST(RotatingLog, MissingDirectoryTurnsTheLogOff) {
  TempDir d;
  Log log = MakeLog(d / "nope", 3, 2);
  EXPECT_EQ(OpenLog(&log), -1);
  EXPECT_EQ(log.rotation, 0u);
  Line(&log, "dropped");  // must not crash or write
  EXPECT_EQ(CloseLog(&log), 0);
}

TEST(RotatingLog, OffWritesNothing) {
  TempDir d;
  Log log = MakeLog(d.path(), 0, 2);
  EXPECT_EQ(OpenLog(&log), 0);
  Line(&log, "x");
  CloseLog(&log);
  EXPECT_FALSE(Exists(d / "log0001.log"));
}

TEST(RotatingLog, ConsoleNeverClosesStandardOutput) {
  Log log = MakeLog("CONSOLE", 2, 1);
  ASSERT_EQ(OpenLog(&log), 0);
  testing::internal::CaptureStdout();
  Line(&log, "one");
  Line(&log, "two");
  fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find(" one\n"), std::string::npos);
  EXPECT_NE(out.find(" two\n"), std::string::npos);
  EXPECT_EQ(log.stream, stdout);
  CloseLog(&log);
  EXPECT_NE(fileno(stdout), -1);
}

TEST(RotatingLog, ConfigurationDefaultsAndMaxAge) {
  TempDir d;
  harness::WriteFile(d / "a.ini", ";\nLogRotation=3\n");
  Ini ini;
  const std::string aPath = d / "a.ini";  // the reader keeps the path
  ASSERT_EQ(OpenIni(&ini, aPath.c_str()), 0);
  Log log;
  testing::internal::CaptureStderr();
  EXPECT_EQ(ReadLogConfig(&ini, &log, 128), 0);
  testing::internal::GetCapturedStderr();
  CloseIni(&ini);
  EXPECT_EQ(log.rotation, 3u);
  EXPECT_STREQ(log.dir, ".");
  EXPECT_EQ(log.maxEntries, 0u);
  EXPECT_EQ(log.maxAge, INT64_MAX);

  harness::WriteFile(d / "b.ini", ";\nLogRotation=3\nLogMaxAge=0\n");
  const std::string bPath = d / "b.ini";  // the reader keeps the path
  ASSERT_EQ(OpenIni(&ini, bPath.c_str()), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(ReadLogConfig(&ini, &log, 128), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("LogMaxAge must be greater than 0.\n"),
            std::string::npos);
  CloseIni(&ini);

  harness::WriteFile(d / "c.ini", ";\nLogMaxAge=99999999999999\nLogDir=" +
                                      std::string(40, 'd') + "\n");
  const std::string cPath = d / "c.ini";  // the reader keeps the path
  ASSERT_EQ(OpenIni(&ini, cPath.c_str()), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(ReadLogConfig(&ini, &log, 128), 0);
  testing::internal::GetCapturedStderr();
  CloseIni(&ini);
  EXPECT_GT(log.maxAge, 0);  // huge means practically never, not every line
  EXPECT_EQ(std::string(log.dir), std::string(40, 'd'));
}

}  // namespace
