// Faults the fuzz target (fuzz/ftp_fuzz.cpp) found, each kept as the
// command lines that showed it.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstring>

#include "harness.h"
#include "session_fixture.h"

namespace {

const char k500[] = "500 Syntax error, command unrecognized.\r\n";

// A logged-in session with every file command, rooted in a temporary tree.
struct Fuzzed : TestSession {
  harness::TempDir dir;
  Fuzzed() {
    harness::MakeDirs(dir / "root/pub");
    req->login.root = dir.path() + "/root";
    for (int code = 0; code < kCommandCount; code++) req->login.permissions[code] = '1';
    req->login.permissions[kUSER] = '0';
    req->login.permissions[kPASS] = '0';
  }
  // The raw bytes as one read brings them, through parser and dispatcher.
  std::string RunRaw(const std::string &bytes) {
    Receive(bytes);
    if (ParseFTPstring(req) == 0) {
      DoFTP(req);
      req->cmnd.lastCommand = TranslateCommand(req->cmnd.space->command);
    }
    return Reply();
  }
  int Entries() const {
    int n = 0;
    if (DIR *d = opendir((dir / "root").c_str())) {
      while (struct dirent *e = readdir(d)) n += e->d_name[0] != '.';
      closedir(d);
    }
    return n;
  }
};

}  // namespace

// A line feed before the line's CR LF ended up in the argument: MKD made a
// directory whose name held it, and PWD inside it answered in two lines.
TEST(FtpFuzzRegressions, BareLineFeedInsideALineIsRefused) {
  Fuzzed s;
  EXPECT_EQ(s.RunRaw("MKD a\nb\r\n"), k500);
  EXPECT_EQ(s.Entries(), 1);  // only pub/
  EXPECT_EQ(s.RunRaw("CWD pub\nx\r\n"), k500);
  EXPECT_EQ(s.RunRaw("NOOP\nPWD\r\n"), k500);
  EXPECT_EQ(s.Run("PWD"), "257 \"/\" is current directory.\r\n");
  // A line feed behind the CR belongs to the line end as before, and a
  // lone CR still ends the line where it stands.
  EXPECT_EQ(s.RunRaw("CWD pub\r\n"), "250 Requested action okay, completed.\r\n");
  EXPECT_EQ(s.RunRaw("PWD\rjunk\n"), "257 \"/pub/\" is current directory.\r\n");
}
