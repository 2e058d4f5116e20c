// The file commands against the running server: Python's ftplib, raw
// dialogues that try to leave the root, the quota record after DELE, and a
// DELE the file system refuses.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "zolf_fixture.h"

using harness::Conn;

namespace {

const char kGrants[] = "DELE MKD RMD RNFR RNTO SIZE MDTM CWD STOR SITE LIST";

std::string Script() { return std::string(SOURCE_DIR) + "/tests/ftp/ftplib_files.py"; }

// The 8-byte quota record: limit, then usage, little-endian 32-bit each.
std::string QuotaRecord(uint32_t limit, uint32_t usage) {
  std::string r(8, '\0');
  for (int i = 0; i < 4; i++) {
    r[i] = (char)((limit >> (8 * i)) & 0xff);
    r[4 + i] = (char)((usage >> (8 * i)) & 0xff);
  }
  return r;
}

}  // namespace

TEST(FtpFileServer, PythonFtplibManagesFiles) {
  Zolf z;
  z.SimpleAccount("alice", "secret", kGrants);
  harness::WriteFile(z.Root() + "/report.txt", std::string(1234, 'r'));
  harness::MakeDirs(z.Root() + "/many");
  for (int i = 0; i < 400; i++)
    harness::WriteFile(z.Root() + "/many/" + std::string(60, 'n') + std::to_string(i), "");
  ASSERT_TRUE(z.Start());
  std::string out;
  int status = harness::Run("python3 " + Script() + " " + std::to_string(z.port) + " alice secret",
                            &out, 30);
  EXPECT_EQ(status, 0) << out << z.Stderr();
  EXPECT_NE(out.find("mkd '/archive'\n"  // the name ftplib takes from the 257
                     "refused 550 File exists.\n"
                     "rename 250 Requested action okay, completed.\n"
                     "rename 250 Requested action okay, completed.\n"
                     "size 1234\n"
                     "mdtm 213 "),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("chmod 200 SITE CHMOD command ok.\n"
                     "mfmt 213 Modify=20010203040506; archive/report-2001.txt\n"
                     "mdtm 213 20010203040506\n"
                     "stat -rw-r-----\n"
                     "stat dir 3 report-2001.txt\n"
                     "stat many 213-Status of many: True  (more entries: LIST shows them "
                     "all) 213 End of status.\n"
                     "refused 501 Syntax error in parameters or arguments.\n"
                     "help site 214-SITE commands recognized:\n CHMOD\n214 Help OK.\n"
                     "allo 10 202 No storage allocation necessary.\n"
                     "mode s 200 Mode set to S.\n"
                     "stru f 200 Structure set to F.\n"
                     "refused 504 Command not implemented for that parameter.\n"
                     "mode b True\n"
                     "xpwd 257 \"/\" is current directory.\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("refused 550 Requested action not taken.\n"  // RMD of a full directory
                     "delete 250 Requested action okay, completed.\n"
                     "rmd 250 Requested action okay, completed.\n"
                     "refused 450 Requested action not taken.\n"   // DELE of what is gone
                     "refused 450 Requested action not taken.\n"   // RNFR of what is gone
                     "refused 503 Bad sequence of commands.\n"
                     "refused 550 Eat shit fucktard!\n"
                     "refused 550 Requested action not taken.\n"
                     "221 Goodbye!\n"),
            std::string::npos)
      << out;
  EXPECT_FALSE(harness::Exists(z.Root() + "/archive"));
  EXPECT_FALSE(harness::Exists(z.dir / "escape"));
}

TEST(FtpFileServer, NothingOutsideTheRootCanBeReached) {
  Zolf z;
  z.SimpleAccount("bob", "pw", std::string(kGrants) + " RMD_RECURSIVE");
  harness::MakeDirs(z.Root() + "/pub");
  harness::WriteFile(z.Root() + "/pub/mine.txt", "mine");
  harness::MakeDirs(z.dir / "private");
  harness::WriteFile(z.dir / "private/secret.txt", "secret");
  ASSERT_TRUE(z.Start());
  Conn c;
  ASSERT_TRUE(z.Login(c, "bob", "pw"));
  ASSERT_EQ(Cmd(c, "CWD pub"), "250 Requested action okay, completed.\r\n");
  for (std::string p : {"../../private/secret.txt", "/../private", "..", "c:/private",
                        "x/../../../private"}) {
    EXPECT_EQ(Cmd(c, "DELE " + p), "550 Why don't you go fuck yourself?\r\n") << p;
    EXPECT_EQ(Cmd(c, "RMD " + p), "550 Noodlesucker!\r\n") << p;
    EXPECT_EQ(Cmd(c, "MKD " + p + "/new"), "550 Eat shit fucktard!\r\n") << p;
    EXPECT_EQ(Cmd(c, "SIZE " + p), "550 Requested action not taken.\r\n") << p;
    EXPECT_EQ(Cmd(c, "MDTM " + p), "550 Requested action not taken.\r\n") << p;
    EXPECT_EQ(Cmd(c, "RNFR " + p), "450 Requested action not taken.\r\n") << p;
    EXPECT_EQ(Cmd(c, "RNTO x"), "550 Requested action not taken.\r\n") << p;
    EXPECT_EQ(Cmd(c, "RNFR mine.txt"), "350 Requested action pending further information.\r\n");
    EXPECT_EQ(Cmd(c, "RNTO " + p), "550 Server out of memory or file already exists.\r\n") << p;
  }
  EXPECT_EQ(Cmd(c, "QUIT"), "221 Goodbye!\r\n");
  EXPECT_EQ(harness::ReadFile(z.dir / "private/secret.txt"), "secret");
  EXPECT_EQ(harness::ReadFile(z.Root() + "/pub/mine.txt"), "mine");
  EXPECT_FALSE(harness::Exists(z.dir / "private/new"));
  EXPECT_FALSE(harness::Exists(z.dir / "new"));
}

TEST(FtpFileServer, DeleLowersTheStoredDiskUsage) {
  Zolf z;
  harness::MakeDirs(z.Root());
  // The account with a quota: its record says 800 of 1000 bytes are used.
  z.Account("carol", "PassWord=pw\nAllowIPAddress=ALL\nCloseIfIdle=no\nAllowFullBandwidth=no\n"
                     "RootDirectory=" + z.Root() + "\nDiskQuota=1000\nAddCommand=DELE\n");
  harness::WriteFile(z.dir / "accounts/carol.dsk", QuotaRecord(1000, 800));
  harness::WriteFile(z.Root() + "/half.bin", std::string(500, 'h'));
  ASSERT_TRUE(z.Start());
  Conn c;
  ASSERT_TRUE(z.Connect(c));
  EXPECT_EQ(Cmd(c, "USER carol"), "331 User name okay, need password.\r\n");
  EXPECT_EQ(Cmd(c, "PASS pw"), "230 Welcome! Disk usage is 800 (disk guota is 1000 B).\r\n");
  EXPECT_EQ(Cmd(c, "DELE half.bin"), "250 File deleted. Disk usage is 300/1000 bytes.\r\n");
  EXPECT_EQ(Cmd(c, "QUIT"), "221 Goodbye!\r\n");
  EXPECT_TRUE(harness::WaitFor(
      [&] {
        // An 8-byte record is read; the record is written with its 64-bit count.
        return harness::ReadFile(z.dir / "accounts/carol.dsk") ==
               QuotaRecord(1000, 300) + std::string("\x2c\x01\0\0\0\0\0\0", 8);
      }));
}

TEST(FtpFileServer, DeleInADirectoryWithoutWriteAccessIsDenied) {
  // Root may delete anywhere, so the server runs as nobody when the test
  // runs as root; env finds setpriv, which then becomes zolf (same PID).
  std::string bin = harness::Bin("zolf");
  std::vector<std::string> args;
  if (geteuid() == 0) {
    std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups -- ";
    if (harness::Run(asNobody + "test -x '" + bin + "'") != 0)
      GTEST_SKIP() << "running as root, and user 65534 cannot run " << bin
                   << " through setpriv: the denied DELE cannot be arranged";
    args = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--", bin};
    bin = "/usr/bin/env";
  }
  Zolf z;
  z.SimpleAccount("dave", "pw", "DELE");
  harness::MakeDirs(z.Root() + "/locked");
  harness::MakeDirs(z.Root() + "/open");
  harness::WriteFile(z.Root() + "/locked/victim.txt", "stays");
  harness::WriteFile(z.Root() + "/open/readonly.txt", "goes");
  chmod((z.Root() + "/open/readonly.txt").c_str(), 0444);
  chmod(z.Root().c_str(), 0755);
  chmod((z.Root() + "/open").c_str(), 0777);
  chmod((z.Root() + "/locked").c_str(), 0555);
  chmod(z.dir.path().c_str(), 0755);
  harness::WriteFile(z.dir / "zolf.ini", z.Ini("MaxUsers=4\nTimeoutTime=5\n"));
  bool up = z.server.Start(bin, args, z.dir.path(), z.port);
  ASSERT_TRUE(up);
  Conn c;
  ASSERT_TRUE(z.Login(c, "dave", "pw"));
  EXPECT_EQ(Cmd(c, "DELE locked/victim.txt"), "550 Permission denied.\r\n");
  EXPECT_EQ(harness::ReadFile(z.Root() + "/locked/victim.txt"), "stays");
  // A read-only file in a writable directory is fair game.
  EXPECT_EQ(Cmd(c, "DELE open/readonly.txt"), "250 Requested action okay, completed.\r\n");
  EXPECT_FALSE(harness::Exists(z.Root() + "/open/readonly.txt"));
}
