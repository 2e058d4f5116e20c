// The virtual tree: building real paths under the root, and CWD/CDUP with
// every way of trying to leave the root.
#include <gtest/gtest.h>

#include "harness.h"
#include "session_fixture.h"
#include "virtual_paths.h"

namespace {

// A logged-in session whose root is a temporary tree with pub/new/.
struct Tree : TestSession {
  harness::TempDir dir;
  Tree() {
    harness::MakeDirs(dir / "root/pub/new");
    harness::WriteFile(dir / "root/file.txt", "x");
    harness::WriteFile(dir / "outside.txt", "secret");
    req->login.root = dir.path() + "/root";
    req->login.permissions[kUSER] = '0';
    req->login.permissions[kPASS] = '0';
    req->login.permissions[kCWD] = '1';
    req->login.permissions[kCDUP] = '1';
  }
  std::string Root() const { return req->login.root; }
};

std::string Build(const char *root, const char *cwd, const char *arg, size_t size = 1281) {
  char out[1281];
  if (CreateAbsolutePath(out, size, root, cwd, arg) != 0) return "refused";
  return out;
}

}  // namespace

TEST(FtpVirtualPaths, CreateAbsolutePathJoinsUnderTheRoot) {
  EXPECT_EQ(Build("/srv/ftp", "/pub/", "a.txt"), "/srv/ftp/pub/a.txt");
  EXPECT_EQ(Build("/srv/ftp", "/pub/", "/pub/a.txt"), "/srv/ftp/pub/a.txt");
  EXPECT_EQ(Build("/srv/ftp", "/pub/", ""), "/srv/ftp/pub/");  // the current directory
  // A backslash is an ordinary character: never a way to the root's side.
  EXPECT_EQ(Build("/srv/ftp", "/pub/", "\\x"), "/srv/ftp/pub/\\x");
  for (const char *bad : {"../x", "a..b", "..", "/pub//x", "c:x", "a\\\\b", "/.."})
    EXPECT_EQ(Build("/srv/ftp", "/pub/", bad), "refused") << bad;
  // The path must fit the output with its NUL.
  EXPECT_EQ(Build("/r", "/", "abc", 7), "/r/abc");
  EXPECT_EQ(Build("/r", "/", "abc", 6), "refused");
  EXPECT_EQ(Build("/r", "/", "/abc", 7), "/r/abc");
  EXPECT_EQ(Build("/r", "/", "/abc", 6), "refused");
}

TEST(FtpVirtualPaths, DirectJoinRepliesPerCommand) {
  Tree t;
  char out[1281];
  auto join = [&](const char *arg) {
    RecvFTPstring(t.req);
    HoldCommandSpace(t.req);
    snprintf(t.req->cmnd.space->argument, sizeof t.req->cmnd.space->argument, "%s", arg);
    int r = DirectJoin(t.req, out, sizeof out, "550 guard\r\n", "550 missing\r\n");
    return r == 0 ? std::string(out) : std::to_string(r) + " " + t.Reply();
  };
  EXPECT_EQ(join("x..y"), "550 550 guard\r\n");
  EXPECT_EQ(join(""), "550 550 missing\r\n");
  EXPECT_EQ(join("/"), "550 550 Requested action not taken.\r\n");
  EXPECT_EQ(join("/pub/a"), t.Root() + "/pub/a");
  t.req->login.cwd = "/pub/";
  EXPECT_EQ(join("a"), t.Root() + "/pub/a");
  EXPECT_EQ(join("\\a"), t.Root() + "/pub/\\a");
}

TEST(FtpVirtualPaths, StatChkIgnoresOneTrailingSlash) {
  Tree t;
  struct stat st;
  std::string path = t.Root() + "/pub/";
  std::vector<char> buf(path.begin(), path.end());
  buf.push_back('\0');
  ASSERT_EQ(stat_chk(buf.data(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(std::string(buf.data()), path);  // left as it was
  std::string missing = t.Root() + "/nothing/";
  std::vector<char> m(missing.begin(), missing.end());
  m.push_back('\0');
  EXPECT_EQ(stat_chk(m.data(), &st), -1);
  char empty[1] = "";
  EXPECT_EQ(stat_chk(empty, &st), -1);
}

TEST(FtpVirtualPaths, CwdMovesThroughTheTree) {
  Tree t;
  const std::string ok = "250 Requested action okay, completed.\r\n";
  EXPECT_EQ(t.Run("CWD pub"), ok);
  EXPECT_EQ(t.req->login.cwd, "/pub/");
  EXPECT_EQ(t.Run("PWD"), "257 \"/pub/\" is current directory.\r\n");
  EXPECT_EQ(t.Run("CWD new"), ok);
  EXPECT_EQ(t.req->login.cwd, "/pub/new/");
  EXPECT_EQ(t.Run("CDUP"), ok);
  EXPECT_EQ(t.req->login.cwd, "/pub/");
  EXPECT_EQ(t.Run("CWD /pub/new"), ok);
  EXPECT_EQ(t.req->login.cwd, "/pub/new/");
  EXPECT_EQ(t.Run("CWD /pub/"), ok);
  EXPECT_EQ(t.req->login.cwd, "/pub/");
  EXPECT_EQ(t.Run("CWD ."), ok);  // "." is where we are
  EXPECT_EQ(t.req->login.cwd, "/pub/");
  EXPECT_EQ(t.Run("CWD /"), ok);
  EXPECT_EQ(t.req->login.cwd, "/");
  // A relative argument may go down several levels at once, and ignores
  // "." steps and a trailing slash.
  EXPECT_EQ(t.Run("CWD pub/new"), ok);
  EXPECT_EQ(t.req->login.cwd, "/pub/new/");
  EXPECT_EQ(t.Run("CWD /"), ok);
  EXPECT_EQ(t.Run("CWD ./pub/"), ok);
  EXPECT_EQ(t.req->login.cwd, "/pub/");
  EXPECT_EQ(t.Run("CWD"), "550 Can't process CWD without argument.\r\n");
}

TEST(FtpVirtualPaths, FailedCwdChangesNothing) {
  Tree t;
  ASSERT_EQ(t.Run("CWD /pub/new/"), "250 Requested action okay, completed.\r\n");
  const std::string failed = "550 Could not CWD.\r\n";
  // Missing, a file, missing below a directory that exists, absolute.
  for (const char *bad : {"CWD missing", "CWD /pub/missing", "CWD /file.txt"}) {
    EXPECT_EQ(t.Run(bad), failed) << bad;
    EXPECT_EQ(t.req->login.cwd, "/pub/new/") << bad;
  }
  ASSERT_EQ(t.Run("CWD /"), "250 Requested action okay, completed.\r\n");
  EXPECT_EQ(t.Run("CWD pub/missing"), failed);
  EXPECT_EQ(t.Run("CWD file.txt/x"), failed);
  EXPECT_EQ(t.req->login.cwd, "/");
}

TEST(FtpVirtualPaths, EveryAttemptToLeaveTheRootIsRefused) {
  Tree t;
  const std::string guard = "550 Why don't you go fuck yourself?\r\n";
  ASSERT_EQ(t.Run("CWD pub"), "250 Requested action okay, completed.\r\n");
  for (const char *bad : {"CWD ...", "CWD ../..", "CWD a..b", "CWD /..", "CWD /pub/../..",
                          "CWD c:", "CWD /x//y", "CWD a\\\\b", "CWD //"}) {
    EXPECT_EQ(t.Run(bad), guard) << bad;
    EXPECT_EQ(t.req->login.cwd, "/pub/") << bad;  // refusals change nothing
  }
  // ".." is CDUP, which stops at the top.
  EXPECT_EQ(t.Run("CWD .."), "250 Requested action okay, completed.\r\n");
  EXPECT_EQ(t.req->login.cwd, "/");
  EXPECT_EQ(t.req->cmnd.lastCommand, kCDUP);
  EXPECT_EQ(t.Run("CWD .."), "550 Requested action not taken.\r\n");
  EXPECT_EQ(t.Run("CDUP"), "550 Requested action not taken.\r\n");
  EXPECT_EQ(t.req->login.cwd, "/");
  // A leading backslash names an entry of cwd, never a sibling of the root.
  harness::MakeDirs(t.dir / "root\\x");
  EXPECT_EQ(t.Run("CWD \\x"), "550 Requested action not taken.\r\n");
}

TEST(FtpVirtualPaths, CwdThroughDotDotNeedsTheCdupPermission) {
  Tree t;
  t.req->login.permissions[kCDUP] = '\0';
  ASSERT_EQ(t.Run("CWD pub"), "250 Requested action okay, completed.\r\n");
  EXPECT_EQ(t.Run("CWD .."), "550 Permission denied.\r\n");
  EXPECT_EQ(t.req->login.cwd, "/pub/");
}

TEST(FtpVirtualPaths, LongDirectoriesAreBounded) {
  Tree t;
  // Relative steps pile up; the one that would not fit cwd is refused and
  // cwd keeps its value.
  std::string name(200, 'd');
  ASSERT_EQ(t.Run("CWD " + name), "550 Could not CWD.\r\n");
  t.req->login.cwd = "/" + name + "/" + name + "/";
  std::string before = t.req->login.cwd;  // 403 characters
  EXPECT_EQ(t.Run("CWD " + std::string(107, 'e')), "550 Requested action not taken.\r\n");
  EXPECT_EQ(std::string(t.req->login.cwd), before);
  // A PWD whose reply would not fit a reply line is still answered.
  EXPECT_EQ(t.Run("PWD"), "550 Requested action not taken.\r\n");
  // One character less fits: taken, then found missing.
  EXPECT_EQ(t.Run("CWD " + std::string(106, 'e')), "550 Could not CWD.\r\n");
  EXPECT_EQ(std::string(t.req->login.cwd), before);
}

TEST(FtpVirtualPaths, CdupRecoversFromACorruptCwd) {
  Tree t;
  t.req->login.cwd.assign(kCwdSize, 'x');
  EXPECT_EQ(t.Run("CDUP"), "250 CWD was corrupt. New CWD is '/'.\r\n");
  EXPECT_EQ(t.req->login.cwd, "/");
  t.req->login.cwd.clear();
  EXPECT_EQ(t.Run("CDUP"), "250 CWD was corrupt. New CWD is '/'.\r\n");
  t.req->login.cwd = "pub/";
  EXPECT_EQ(t.Run("CDUP"), "250 CWD was corrupt. New CWD is at top level.\r\n");
  t.req->login.cwd = "/pub";
  EXPECT_EQ(t.Run("CDUP"), "250 CWD was corrupt. New CWD is at top level.\r\n");
  t.req->login.cwd = "/a/b/";
  EXPECT_EQ(t.Run("CDUP"), "250 Requested action okay, completed.\r\n");
  EXPECT_EQ(t.req->login.cwd, "/a/");
}
