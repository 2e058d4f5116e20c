// The log summariser run on hand-made log directories.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"

namespace {

const std::string kLooking = "Looking for Mirt HTTP server generated log files.\n";
const std::string kNoMore = "No more files to be found.\n";

struct Rekkon {
  int status;
  std::string out;
};

Rekkon RunRekkon(const std::string &args, const std::string &cwd = "/") {
  Rekkon r;
  r.status = harness::Run("cd '" + cwd + "' && " + harness::Bin("rekkon") + " " + args, &r.out);
  return r;
}

std::string Line(const std::string &address, const std::string &date, const std::string &method,
                 const std::string &path, int status, unsigned long bytes) {
  return address + " [" + date + "] " + method + " " + path + " " + std::to_string(status) + " " +
         std::to_string(bytes) + "\n";
}

bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

TEST(ToolsRekkon, WrongArgumentsAndUnusableFilesOrDirectories) {
  harness::TempDir dir;
  harness::MakeDirs(dir / "d");
  for (std::string args : {"--help x", "-z", "--json", "a d"}) {
    Rekkon r = RunRekkon(args, dir.path());
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(r.out, "Input directory and output file is required.\n") << args;
  }
  Rekkon r = RunRekkon("--to 2024-02-30x .", dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "--to wants a date as YYYY-MM-DD.\n");
  // Names that are not directories are log files; missing ones fail the
  // run, said on the screen and in the error log in the current directory.
  r = RunRekkon("missing s.txt", dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "missing: cannot be read: No such file or directory\n"
                   "s.txt: cannot be read: No such file or directory\n");
  EXPECT_EQ(harness::ReadFile(dir / "errors.txt"), r.out);
  EXPECT_TRUE(harness::Exists(dir / "summary.html"));

  r = RunRekkon(dir.path() + " s.txt nodir/e.txt");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "Could not open error log.\n");
  EXPECT_FALSE(harness::Exists(dir / "s.txt"));

  r = RunRekkon(dir.path() + " nodir/s.txt e.txt");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "Could not open summary file.\n");
  EXPECT_TRUE(harness::Exists(dir / "e.txt"));
}

TEST(ToolsRekkon, SummarisesGoodLinesAndReportsBadOnes) {
  harness::TempDir dir;
  const std::string d1 = "Mon, 01 Jan 2024 10:00:00", d2 = "Mon, 01 Jan 2024 11:30:00";
  harness::WriteFile(dir / "log0001.log",
                     Line("127.0.0.1", d1, "GET", "/index.html", 200, 1000) +
                         Line("127.0.0.2", d2, "GET", "/index.html", 200, 1000) +
                         "not a log line\n" +
                         Line("127.0.0.1", d1, "HEAD", "/", 200, 150));
  harness::WriteFile(dir / "log0002.log",
                     Line("127.0.0.1", d2, "GET", "/missing", 404, 300) +
                         Line("127.0.0.1", d1, "", "", 500, 0) +
                         "127.0.0.1 [" + d1 + "] GET / 2x0 1\n" +
                         Line("10.0.0.9", d1, "GET", "/index.html", 200, 1000));
  // Past the first missing number: never read.
  harness::WriteFile(dir / "log0004.log", Line("9.9.9.9", d1, "GET", "/hidden", 200, 1));
  Rekkon r = RunRekkon(dir.path() + " summary.txt errors.txt", "/");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kLooking + kNoMore);
  EXPECT_EQ(harness::ReadFile(dir / "errors.txt"),
            "log0001.log:3: bad client address: not a log line\n"
            "log0002.log:3: bad status: 127.0.0.1 [" + d1 + "] GET / 2x0 1\n");
  std::string s = harness::ReadFile(dir / "summary.txt");
  EXPECT_TRUE(Has(s, "Files read: 2\n  log0001.log: 4 lines, 1 rejected\n"
                     "  log0002.log: 4 lines, 1 rejected\n")) << s;
  EXPECT_TRUE(Has(s, "Lines read: 8\nLines rejected: 2 (see the error log)\n")) << s;
  EXPECT_TRUE(Has(s, "First request: " + d1 + " UTC\nLast request:  " + d2 + " UTC\n")) << s;
  EXPECT_TRUE(Has(s, "Requests: 6\nBytes sent: 3450\n")) << s;
  EXPECT_TRUE(Has(s, "     200            4            3150\n"
                     "     404            1             300\n"
                     "     500            1               0\n")) << s;
  EXPECT_TRUE(Has(s, "             4            3300  GET\n"
                     "             1             150  HEAD\n"
                     "             1               0  (none)\n")) << s;
  EXPECT_TRUE(Has(s, "Most requested paths (top 4 of 4):\n      requests           bytes  path\n"
                     "             3            3000  /index.html\n"
                     "             1             300  /missing\n"
                     "             1             150  /\n"
                     "             1               0  (none)\n")) << s;
  EXPECT_TRUE(Has(s, "Busiest clients (top 3 of 3):\n      requests           bytes  address\n"
                     "             4            1450  127.0.0.1\n"
                     "             1            1000  10.0.0.9\n"
                     "             1            1000  127.0.0.2\n")) << s;
  EXPECT_FALSE(Has(s, "hidden") || Has(s, "9.9.9.9")) << s;
}

TEST(ToolsRekkon, ReadsFileZeroWhenPresentAndOrdersByDateNotFileOrder) {
  harness::TempDir dir;
  // A wrapped ring: the newest lines sit in the lowest file.
  harness::WriteFile(dir / "log0000.log", Line("1.1.1.1", "Wed, 03 Jan 2024 00:00:00", "GET", "/z", 200, 1));
  harness::WriteFile(dir / "log0001.log", Line("1.1.1.1", "Fri, 05 Jan 2024 00:00:00", "GET", "/a", 200, 1));
  harness::WriteFile(dir / "log0002.log", Line("1.1.1.1", "Tue, 02 Jan 2024 00:00:00", "GET", "/b", 200, 1));
  harness::WriteFile(dir / "log0003.log", Line("1.1.1.1", "Thu, 04 Jan 2024 00:00:00", "GET", "/c", 200, 1));
  Rekkon r = RunRekkon(dir.path() + " s.txt e.txt");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kLooking + kNoMore);
  std::string s = harness::ReadFile(dir / "s.txt");
  EXPECT_TRUE(Has(s, "Files read: 4\n  log0000.log: 1 lines, 0 rejected\n")) << s;
  EXPECT_TRUE(Has(s, "First request: Tue, 02 Jan 2024 00:00:00 UTC\n"
                     "Last request:  Fri, 05 Jan 2024 00:00:00 UTC\n")) << s;
  EXPECT_EQ(harness::ReadFile(dir / "e.txt"), "");
  // Only the days asked for count; the others are read and told apart.
  r = RunRekkon("--from 2024-01-03 --to 2024-01-04 " + dir.path() + " s.txt e.txt");
  EXPECT_EQ(r.status, 0);
  s = harness::ReadFile(dir / "s.txt");
  EXPECT_TRUE(Has(s, "First request: Wed, 03 Jan 2024 00:00:00 UTC\n"
                     "Last request:  Thu, 04 Jan 2024 00:00:00 UTC\nRequests: 2\nBytes sent: 2\n"
                     "Lines outside the dates: 2\n")) << s;
}

TEST(ToolsRekkon, EmptyDirectoryGivesAnEmptySummaryAndFails) {
  harness::TempDir dir;
  Rekkon r = RunRekkon(". summary.txt errors.txt", dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kLooking + kNoMore + "No log files found in ..\n");
  std::string s = harness::ReadFile(dir / "summary.txt");
  EXPECT_TRUE(Has(s, "Files read: 0\nLines read: 0\nLines rejected: 0\n"
                     "First request: none\nLast request:  none\nRequests: 0\n")) << s;
  EXPECT_TRUE(harness::Exists(dir / "errors.txt"));
}

TEST(ToolsRekkon, RelativeOutputNamesLandInTheLogDirectory) {
  harness::TempDir dir;
  harness::MakeDirs(dir / "logs");
  harness::MakeDirs(dir / "out");
  harness::WriteFile(dir / "logs/log0001.log",
                     Line("1.1.1.1", "Wed, 03 Jan 2024 00:00:00", "GET", "/z", 200, 1));
  Rekkon r = RunRekkon("logs s.txt ../out/e.txt", dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(harness::Exists(dir / "logs/s.txt"));
  EXPECT_TRUE(harness::Exists(dir / "out/e.txt"));
  EXPECT_FALSE(harness::Exists(dir / "s.txt"));
  // -o puts every report into the directory it names.
  r = RunRekkon("-o out --json j.json logs", dir.path());
  EXPECT_EQ(r.status, 0);
  for (const char *name : {"summary.txt", "summary.html", "errors.txt", "j.json"})
    EXPECT_TRUE(harness::Exists(dir / ("out/" + std::string(name)))) << name;
}

TEST(ToolsRekkon, OnlyTheTwentyBusiestPathsAndClientsAreListed) {
  harness::TempDir dir;
  std::string log;
  // Path /pN is asked N times, by client 10.0.0.N.
  for (int n = 1; n <= 25; n++)
    for (int i = 0; i < n; i++)
      log += Line("10.0.0." + std::to_string(n), "Mon, 01 Jan 2024 10:00:00", "GET",
                  "/p" + std::to_string(n), 200, 10);
  harness::WriteFile(dir / "log0001.log", log);
  Rekkon r = RunRekkon(dir.path() + " s.txt e.txt");
  EXPECT_EQ(r.status, 0);
  std::string s = harness::ReadFile(dir / "s.txt");
  EXPECT_TRUE(Has(s, "Most requested paths (top 20 of 25):\n")) << s;
  EXPECT_TRUE(Has(s, "Busiest clients (top 20 of 25):\n")) << s;
  size_t first = s.find("  /p25\n"), last = s.find("  /p6\n");
  EXPECT_NE(first, std::string::npos);
  EXPECT_NE(last, std::string::npos);
  EXPECT_LT(first, last);
  EXPECT_TRUE(Has(s, "            25             250  /p25\n")) << s;
  EXPECT_TRUE(Has(s, "            25             250  10.0.0.25\n")) << s;
  EXPECT_FALSE(Has(s, "  /p5\n") || Has(s, "  10.0.0.5\n")) << s;
}

TEST(ToolsRekkon, OddLinesAreReportedAndTheWalkGoesOn) {
  harness::TempDir dir;
  const std::string good = Line("1.2.3.4", "Mon, 01 Jan 2024 10:00:00", "GET", "/ok", 200, 5);
  std::string longPath = "/" + std::string(5000, 'a');
  harness::WriteFile(dir / "log0001.log",
                     Line("1.2.3.4", "Mon, 01 Jan 2024 10:00:00", "GET", longPath, 200, 5) +
                         good + std::string("1.2.3.4 [\x01\x7f]   500 0\n") + good +
                         good.substr(0, 20));  // cut short, as by a server still writing
  // A log file that is present but cannot be read.
  harness::MakeDirs(dir / "log0002.log");
  harness::WriteFile(dir / "log0003.log", good);
  Rekkon r = RunRekkon(dir.path() + " s.txt e.txt");
  EXPECT_EQ(r.status, 2);  // the run was not complete
  EXPECT_EQ(r.out, kLooking + kNoMore);
  std::string e = harness::ReadFile(dir / "e.txt");
  EXPECT_TRUE(Has(e, "log0001.log:1: line too long: 1.2.3.4 [")) << e;
  EXPECT_TRUE(Has(e, "log0001.log:3: bad date: 1.2.3.4 [\\x01\\x7f]   500 0\n")) << e;
  EXPECT_TRUE(Has(e, "log0001.log:5: incomplete line: " + good.substr(0, 20) + "\n")) << e;
  EXPECT_TRUE(Has(e, "log0002.log:1: read failed: ")) << e;
  std::string s = harness::ReadFile(dir / "s.txt");
  EXPECT_TRUE(Has(s, "  log0001.log: 5 lines, 3 rejected\n")) << s;
  EXPECT_TRUE(Has(s, "  log0003.log: 1 lines, 0 rejected\n")) << s;
  EXPECT_TRUE(Has(s, "            3              15  /ok\n")) << s;
}

TEST(ToolsRekkon, EveryLogFileIsClosedAfterReading) {
  harness::TempDir dir;
  const std::string good = Line("1.2.3.4", "Mon, 01 Jan 2024 10:00:00", "GET", "/", 200, 1);
  for (int n = 1; n <= 120; n++) {
    char name[16];
    snprintf(name, sizeof name, "log%04d.log", n);
    harness::WriteFile(dir / name, good);
  }
  // With 40 descriptors at most, files left open would end the walk early.
  std::string out;
  int status = harness::Run("ulimit -n 40 && " + harness::Bin("rekkon") + " '" + dir.path() +
                                "' s.txt e.txt",
                            &out);
  EXPECT_EQ(status, 0) << out;
  std::string s = harness::ReadFile(dir / "s.txt");
  EXPECT_TRUE(Has(s, "Files read: 120\n")) << s;
  EXPECT_TRUE(Has(s, "Requests: 120\n")) << s;
}

}  // namespace
