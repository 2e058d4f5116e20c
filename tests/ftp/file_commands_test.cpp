// DELE, MKD, RMD, RNFR/RNTO, SIZE and MDTM run through the dispatcher the
// way the main loop runs them, on a temporary tree.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "deep_remove.h"
#include "file_commands.h"
#include "harness.h"
#include "quota_records.h"
#include "session_fixture.h"

namespace {

const char k250[] = "250 Requested action okay, completed.\r\n";
const char k450[] = "450 Requested action not taken.\r\n";
const char k550[] = "550 Requested action not taken.\r\n";
const char k350[] = "350 Requested action pending further information.\r\n";
const char k503[] = "503 Bad sequence of commands.\r\n";
const char kRenameFailed[] = "550 Server out of memory or file already exists.\r\n";
const char kFileExists[] = "550 File exists.\r\n";
const char kRecursiveFailed[] = "550 Recursive RMD finished with error.\r\n";
const char kDeleGuard[] = "550 Why don't you go fuck yourself?\r\n";
const char kMkdGuard[] = "550 Eat shit fucktard!\r\n";
const char kRmdGuard[] = "550 Noodlesucker!\r\n";

// A logged-in session granted the file commands, rooted at dir/root;
// dir/outside holds what no command may ever reach.
struct Files : TestSession {
  harness::TempDir dir;
  Files() {
    harness::MakeDirs(dir / "root/sub");
    harness::MakeDirs(dir / "outside/keep");
    harness::WriteFile(dir / "outside/secret.txt", "secret");
    harness::WriteFile(dir / "outside/keep/inner.txt", "inner");
    req->login.root = dir.path() + "/root";
    req->login.permissions[kUSER] = '0';
    req->login.permissions[kPASS] = '0';
    for (int code : {kCWD, kCDUP, kDELE, kMKD, kRMD, kRNFR, kRNTO, kSIZE, kMDTM})
      req->login.permissions[code] = '1';
  }
  std::string In(const std::string &rel) const { return dir / ("root/" + rel); }
  void File(const std::string &rel, size_t bytes) { harness::WriteFile(In(rel), std::string(bytes, 'x')); }
  bool OutsideUntouched() const {
    return harness::ReadFile(dir / "outside/secret.txt") == "secret" &&
           harness::ReadFile(dir / "outside/keep/inner.txt") == "inner";
  }
};

bool IsDir(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsLink(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

void SetMtime(const std::string &path, time_t when) {
  struct timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

}  // namespace

TEST(FtpFileCommands, DeleRemovesRegularFilesOnly) {
  Files f;
  f.File("a.txt", 10);
  f.File("sub/b.txt", 10);
  int code = 0;
  EXPECT_EQ(f.Run("DELE a.txt", &code), k250);
  EXPECT_EQ(code, 250);
  EXPECT_FALSE(harness::Exists(f.In("a.txt")));
  EXPECT_EQ(f.Run("DELE /sub/b.txt"), k250);
  EXPECT_FALSE(harness::Exists(f.In("sub/b.txt")));
  EXPECT_EQ(f.Run("DELE sub", &code), k450);  // a directory
  EXPECT_EQ(code, 450);
  EXPECT_TRUE(IsDir(f.In("sub")));
  EXPECT_EQ(f.Run("DELE a.txt"), k450);  // gone already
  EXPECT_EQ(f.Run("DELE", &code), "550 Can't process DELE without argument.\r\n");
  EXPECT_EQ(code, 550);
  EXPECT_EQ(f.Run("DELE /"), k550);
  // Relative to the current directory.
  f.File("sub/c.txt", 1);
  ASSERT_EQ(f.Run("CWD sub"), k250);
  EXPECT_EQ(f.Run("DELE c.txt"), k250);
  EXPECT_FALSE(harness::Exists(f.In("sub/c.txt")));
}

TEST(FtpFileCommands, DeleLowersTheDiskUsageWithoutGoingBelowZero) {
  Files f;
  GiveQuota(f.req, 1000, 0);
  f.req->login.quota->diskUsage = 800;
  f.File("first", 500);
  f.File("second", 500);
  EXPECT_EQ(f.Run("DELE first"), "250 File deleted. Disk usage is 300/1000 bytes.\r\n");
  EXPECT_EQ(f.Run("DELE second"), "250 File deleted. Disk usage is 0/1000 bytes.\r\n");
  EXPECT_EQ(DiskUsage(f.req), 0u);

  // A size beyond 32 bits is taken whole: 4 GiB + 100 bytes must not
  // count as 100.
  f.req->login.quota->diskUsage = 300;
  int fd = open(f.In("big").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, (off_t)((1LL << 32) + 100)), 0);  // sparse
  close(fd);
  EXPECT_EQ(f.Run("SIZE big"), "213 4294967396\r\n");
  EXPECT_EQ(f.Run("DELE big"), "250 File deleted. Disk usage is 0/1000 bytes.\r\n");

  // Without a quota nothing is counted.
  GiveQuota(f.req, 0, 0);
  f.req->login.quota->diskUsage = 50;
  f.File("third", 10);
  EXPECT_EQ(f.Run("DELE third"), k250);
  EXPECT_EQ(DiskUsage(f.req), 50u);
}

TEST(FtpFileCommands, MkdMakesNewNamesOnly) {
  Files f;
  f.File("taken.txt", 1);
  int code = 0;
  // 257 with the new directory's whole path, quoted, a '"' doubled.
  EXPECT_EQ(f.Run("MKD fresh", &code), "257 \"/fresh\" created.\r\n");
  EXPECT_EQ(code, 257);
  EXPECT_TRUE(IsDir(f.In("fresh")));
  EXPECT_EQ(f.Run("MKD /sub/deeper/"), "257 \"/sub/deeper\" created.\r\n");
  EXPECT_TRUE(IsDir(f.In("sub/deeper")));
  EXPECT_EQ(f.Run("CWD sub"), k250);
  EXPECT_EQ(f.Run("MKD say \"hi\""), "257 \"/sub/say \"\"hi\"\"\" created.\r\n");
  EXPECT_TRUE(IsDir(f.In("sub/say \"hi\"")));
  EXPECT_EQ(f.Run("CWD /"), k250);
  // What exists keeps its name: 550.
  EXPECT_EQ(f.Run("MKD fresh", &code), kFileExists);
  EXPECT_EQ(code, 550);
  EXPECT_EQ(f.Run("MKD taken.txt"), kFileExists);
  EXPECT_EQ(harness::ReadFile(f.In("taken.txt")), "x");
  EXPECT_EQ(f.Run("MKD no/such/parent"), k550);
  EXPECT_EQ(f.Run("MKD"), "550 Can't process MKD without argument.\r\n");
  EXPECT_EQ(f.Run("MKD /"), k550);
}

TEST(FtpFileCommands, RmdRemovesEmptyDirectoriesOnlyWithoutRecursion) {
  Files f;
  harness::MakeDirs(f.In("empty"));
  harness::MakeDirs(f.In("full/inner"));
  f.File("full/file.txt", 5);
  f.File("plain.txt", 5);
  int code = 0;
  EXPECT_EQ(f.Run("RMD empty", &code), k250);
  EXPECT_EQ(code, 250);
  EXPECT_FALSE(harness::Exists(f.In("empty")));
  EXPECT_EQ(f.Run("RMD full", &code), k550);
  EXPECT_EQ(code, 550);
  EXPECT_TRUE(harness::Exists(f.In("full/file.txt")));
  EXPECT_EQ(f.Run("RMD plain.txt"), k550);
  EXPECT_TRUE(harness::Exists(f.In("plain.txt")));
  EXPECT_EQ(f.Run("RMD missing"), k550);
  EXPECT_EQ(f.Run("RMD"), "550 Can't process RMD without argument.\r\n");
  EXPECT_EQ(f.Run("RMD /"), k550);
}

TEST(FtpFileCommands, RecursiveRmdRemovesTheTreeAndCountsItsFiles) {
  Files f;
  f.req->login.permissions[kRMD_RECURSIVE] = '1';
  GiveQuota(f.req, 10000, 0);
  f.req->login.quota->diskUsage = 1000;
  harness::MakeDirs(f.In("tree/a/b/c"));
  harness::MakeDirs(f.In("tree/empty"));
  f.File("tree/one", 100);
  f.File("tree/a/two", 200);
  f.File("tree/a/b/c/three", 300);
  int code = 0;
  EXPECT_EQ(f.Run("RMD tree/", &code), k250);
  EXPECT_EQ(code, 250);
  EXPECT_FALSE(harness::Exists(f.In("tree")));
  EXPECT_EQ(DiskUsage(f.req), 400u);
  EXPECT_TRUE(IsDir(f.In("sub")));  // the neighbour stays

  // A plain file is no directory to walk: it stays, and that is a failure.
  f.File("plain.txt", 5);
  EXPECT_EQ(f.Run("RMD plain.txt", &code), kRecursiveFailed);
  EXPECT_EQ(code, 550);
  EXPECT_TRUE(harness::Exists(f.In("plain.txt")));
}

TEST(FtpFileCommands, RecursiveRmdNeverFollowsLinksOutOfTheTree) {
  Files f;
  f.req->login.permissions[kRMD_RECURSIVE] = '1';
  harness::MakeDirs(f.In("tree"));
  f.File("tree/own.txt", 3);
  ASSERT_EQ(symlink((f.dir / "outside").c_str(), f.In("tree/dirlink").c_str()), 0);
  ASSERT_EQ(symlink((f.dir / "outside/secret.txt").c_str(), f.In("tree/filelink").c_str()), 0);
  EXPECT_EQ(f.Run("RMD tree"), k250);
  EXPECT_FALSE(harness::Exists(f.In("tree")));
  EXPECT_TRUE(f.OutsideUntouched());

  // A link named as the directory itself is not walked either, with or
  // without a trailing slash.
  ASSERT_EQ(symlink((f.dir / "outside").c_str(), f.In("toplink").c_str()), 0);
  EXPECT_EQ(f.Run("RMD toplink"), kRecursiveFailed);
  EXPECT_EQ(f.Run("RMD toplink/"), kRecursiveFailed);
  EXPECT_TRUE(IsLink(f.In("toplink")));
  EXPECT_TRUE(f.OutsideUntouched());
}

TEST(FtpFileCommands, RecursiveRmdThatLeavesSomethingBehindFails) {
  // An entry whose path would reach 768 bytes is left alone; everything
  // else goes, and the directory that still holds it is reported.
  Files f;
  f.req->login.permissions[kRMD_RECURSIVE] = '1';
  std::string longName(250, 'n');
  std::string chain = "tree/" + longName + "/" + longName + "/" + longName;
  harness::MakeDirs(f.In(chain));
  ASSERT_GE(f.In(chain).size(), 768u);
  f.File("tree/gone.txt", 1);
  EXPECT_EQ(f.Run("RMD tree"), kRecursiveFailed);
  EXPECT_TRUE(IsDir(f.In(chain)));
  EXPECT_FALSE(harness::Exists(f.In("tree/gone.txt")));
  EXPECT_EQ(DoDeepRemove(f.req, f.In("no-such-dir").c_str()), -1);
}

TEST(FtpFileCommands, RenameAnywhereInsideTheRoot) {
  Files f;
  harness::MakeDirs(f.In("a/sub"));
  harness::MakeDirs(f.In("b"));
  f.File("a/x", 7);
  int code = 0;
  // Same directory.
  EXPECT_EQ(f.Run("RNFR a/x", &code), k350);
  EXPECT_EQ(code, 350);
  EXPECT_EQ(f.Run("RNTO a/y", &code), k250);
  EXPECT_EQ(code, 250);
  EXPECT_TRUE(harness::Exists(f.In("a/y")));
  // Into a subdirectory, absolute names.
  EXPECT_EQ(f.Run("RNFR /a/y"), k350);
  EXPECT_EQ(f.Run("RNTO /a/sub/z"), k250);
  EXPECT_EQ(harness::ReadFile(f.In("a/sub/z")), std::string(7, 'x'));
  // Sideways and up, relative names too.
  EXPECT_EQ(f.Run("RNFR /a/sub/z"), k350);
  EXPECT_EQ(f.Run("RNTO /b/z", &code), k250);
  EXPECT_EQ(harness::ReadFile(f.In("b/z")), std::string(7, 'x'));
  EXPECT_EQ(f.Run("CWD b"), k250);
  EXPECT_EQ(f.Run("RNFR z"), k350);
  EXPECT_EQ(f.Run("RNTO /top"), k250);
  EXPECT_EQ(f.Run("RNFR /top"), k350);
  EXPECT_EQ(f.Run("RNTO ../b/./back"), k250);  // as ncftp names it
  EXPECT_EQ(f.Run("CWD /"), k250);
  EXPECT_TRUE(harness::Exists(f.In("b/back")));
  // A directory not into itself; nothing moves.
  EXPECT_EQ(f.Run("RNFR a"), k350);
  EXPECT_EQ(f.Run("RNTO a/sub/a", &code), kRenameFailed);
  EXPECT_EQ(code, 550);
  EXPECT_TRUE(IsDir(f.In("a/sub")));
  // Directories rename too.
  EXPECT_EQ(f.Run("RNFR b"), k350);
  EXPECT_EQ(f.Run("RNTO c"), k250);
  EXPECT_TRUE(IsDir(f.In("c")));
  EXPECT_EQ(f.req->renameFrom, nullptr);
  EXPECT_EQ(f.req->renameTo, nullptr);
}

TEST(FtpFileCommands, RenameNeverReplacesAnything) {
  Files f;
  f.File("src", 1);
  f.File("dst", 2);
  ASSERT_EQ(symlink("nowhere", f.In("dangling").c_str()), 0);
  EXPECT_EQ(f.Run("RNFR src"), k350);
  EXPECT_EQ(f.Run("RNTO dst"), kFileExists);
  EXPECT_EQ(harness::ReadFile(f.In("dst")), "xx");
  EXPECT_EQ(harness::ReadFile(f.In("src")), "x");
  EXPECT_EQ(f.req->renameFrom, nullptr);  // the pair ends with RNTO
  EXPECT_EQ(f.Run("RNFR src"), k350);
  EXPECT_EQ(f.Run("RNTO dangling"), kFileExists);
  EXPECT_TRUE(IsLink(f.In("dangling")));
  EXPECT_EQ(harness::ReadFile(f.In("src")), "x");
}

TEST(FtpFileCommands, RenameSequenceRules) {
  Files f;
  f.File("src", 1);
  int code = 0;
  // A failed RNFR: the RNTO behind it has nothing to rename.
  EXPECT_EQ(f.Run("RNFR missing", &code), k450);
  EXPECT_EQ(code, 450);
  EXPECT_EQ(f.Run("RNTO anything", &code), k550);
  EXPECT_EQ(code, 550);
  // RNTO without RNFR.
  EXPECT_EQ(f.Run("RNTO anything", &code), k503);
  EXPECT_EQ(code, 503);
  // Anything between the two drops the pair.
  EXPECT_EQ(f.Run("RNFR src"), k350);
  EXPECT_EQ(f.Run("SIZE src"), k503);
  EXPECT_EQ(f.req->renameFrom, nullptr);
  EXPECT_EQ(f.Run("RNTO dst"), k503);
  EXPECT_TRUE(harness::Exists(f.In("src")));
  EXPECT_FALSE(harness::Exists(f.In("dst")));
  // Not even a second RNFR may come between: the pair is dropped, and the
  // RNTO behind it has nothing to rename.
  f.File("other", 1);
  EXPECT_EQ(f.Run("RNFR src"), k350);
  EXPECT_EQ(f.Run("RNFR other"), k503);
  EXPECT_EQ(f.req->renameFrom, nullptr);
  EXPECT_EQ(f.Run("RNTO renamed"), k550);
  EXPECT_EQ(f.Run("RNFR other"), k350);
  EXPECT_EQ(f.Run("RNTO renamed"), k250);
  EXPECT_TRUE(harness::Exists(f.In("src")));
  EXPECT_FALSE(harness::Exists(f.In("other")));
}

TEST(FtpFileCommands, SizeOfFilesAndDirectories) {
  Files f;
  f.File("sub/f", 1234);
  int code = -1;
  EXPECT_EQ(f.Run("SIZE sub/f", &code), "213 1234\r\n");
  EXPECT_EQ(code, 0);  // what SIZE hands the loop
  EXPECT_EQ(f.Run("SIZE /sub/f"), "213 1234\r\n");
  struct stat st;
  ASSERT_EQ(stat(f.In("sub").c_str(), &st), 0);
  EXPECT_EQ(f.Run("SIZE sub"), "213 " + std::to_string(st.st_size) + "\r\n");
  ASSERT_EQ(f.Run("CWD sub"), k250);
  ASSERT_EQ(stat(f.In("sub").c_str(), &st), 0);
  EXPECT_EQ(f.Run("SIZE"), "213 " + std::to_string(st.st_size) + "\r\n");  // the current directory
  EXPECT_EQ(f.Run("SIZE f"), "213 1234\r\n");
  EXPECT_EQ(f.Run("SIZE missing", &code), k550);
  EXPECT_EQ(code, 550);
}

TEST(FtpFileCommands, MdtmInUtc) {
  Files f;
  f.File("f", 1);
  SetMtime(f.In("f"), 983801229);  // 5 March 2001, 14:07:09 UTC
  int code = 0;
  setenv("TZ", "America/New_York", 1);  // the zone of the server plays no part
  tzset();
  EXPECT_EQ(f.Run("MDTM f", &code), "213 20010305140709\r\n");
  unsetenv("TZ");
  tzset();
  EXPECT_EQ(code, 213);
  SetMtime(f.In("sub"), 946684799);  // last second of 1999
  EXPECT_EQ(f.Run("MDTM /sub/"), "213 19991231235959\r\n");
  EXPECT_EQ(f.Run("MDTM missing", &code), k550);
  EXPECT_EQ(code, 550);
}

TEST(FtpFileCommands, MdtmRefusesTimesWithoutAFourDigitYear) {
  // ext4 cannot hold such times; a tmpfs can.
  char tmpl[] = "/dev/shm/zolf-mdtm-XXXXXX";
  if (!mkdtemp(tmpl)) GTEST_SKIP() << "no /dev/shm to hold far-off times";
  std::string base = tmpl;
  std::string late = base + "/late", early = base + "/early";
  harness::WriteFile(late, "x");
  harness::WriteFile(early, "x");
  struct timespec far[2] = {{253402300800, 0}, {253402300800, 0}};  // year 10000
  struct timespec old[2] = {{-40000000000, 0}, {-40000000000, 0}};  // year 702
  utimensat(AT_FDCWD, late.c_str(), far, 0);
  utimensat(AT_FDCWD, early.c_str(), old, 0);
  struct stat a, b;
  bool held = stat(late.c_str(), &a) == 0 && a.st_mtime == 253402300800 &&
              stat(early.c_str(), &b) == 0 && b.st_mtime == -40000000000;
  TestSession s;
  std::vector<char> path1(late.begin(), late.end()), path2(early.begin(), early.end());
  path1.push_back('\0');
  path2.push_back('\0');
  int code1 = DoMDTM(s.req, path1.data());
  std::string reply1 = s.Reply();
  RecvFTPstring(s.req);
  int code2 = DoMDTM(s.req, path2.data());
  std::string reply2 = s.Reply();
  harness::Run("rm -rf '" + base + "'");
  if (!held) GTEST_SKIP() << "/dev/shm did not keep the times";
  EXPECT_EQ(code1, 550);
  EXPECT_EQ(reply1, k550);
  EXPECT_EQ(code2, 550);
  EXPECT_EQ(reply2, k550);
}

TEST(FtpFileCommands, GuardRepliesPerCommand) {
  Files f;
  struct Case {
    const char *line, *reply;
  } cases[] = {
      {"DELE a..b", kDeleGuard}, {"DELE c:x", kDeleGuard},   {"DELE x//y", kDeleGuard},
      {"DELE \\\\x", kDeleGuard}, {"MKD a..b", kMkdGuard},   {"MKD x:y", kMkdGuard},
      {"RMD x:y", kRmdGuard},    {"RMD a..b", kRmdGuard},    {"SIZE a..b", k550},
      {"MDTM x:y", k550},        {"RNFR a..b", k450},  // last: RNFR wants RNTO next
  };
  for (const Case &c : cases) {
    int code = 0;
    EXPECT_EQ(f.Run(c.line, &code), c.reply) << c.line;
    EXPECT_EQ(code, c.reply[0] == '4' ? 450 : 550) << c.line;
  }
}

TEST(FtpFileCommands, NoCommandLeavesTheRoot) {
  Files f;
  f.req->login.permissions[kRMD_RECURSIVE] = '1';
  f.File("mine", 1);
  ASSERT_EQ(f.Run("CWD sub"), k250);
  const char *escapes[] = {"../outside/secret.txt", "/../outside/secret.txt",
                           "../../outside/keep",    "x/../../../outside/keep",
                           "..",                    "/..//outside",
                           "..\\outside\\keep",     "c:/outside/keep"};
  for (const char *path : escapes) {
    std::string p = path;
    EXPECT_EQ(f.Run("DELE " + p), kDeleGuard) << p;
    EXPECT_EQ(f.Run("MKD " + p), kMkdGuard) << p;
    EXPECT_EQ(f.Run("RMD " + p), kRmdGuard) << p;
    EXPECT_EQ(f.Run("SIZE " + p), k550) << p;
    EXPECT_EQ(f.Run("MDTM " + p), k550) << p;
    EXPECT_EQ(f.Run("RNFR " + p), k450) << p;
    EXPECT_EQ(f.Run("RNTO x"), k550) << p;  // after the refused RNFR
    EXPECT_EQ(f.Run("RNFR /mine"), k350);
    EXPECT_EQ(f.Run("RNTO " + p), kRenameFailed) << p;
  }
  EXPECT_TRUE(f.OutsideUntouched());
  EXPECT_TRUE(harness::Exists(f.In("mine")));
  // A leading backslash is a name in the current directory, not a way out.
  EXPECT_EQ(f.Run("MKD \\outside"), "257 \"/sub/\\outside\" created.\r\n");
  EXPECT_TRUE(IsDir(f.In("sub/\\outside")));
}
