// Started as root with User=nobody, each server serves as nobody: the
// process keeps no root id, what zolf stores belongs to nobody, and a
// reload (SIGHUP) still works after the drop.
#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

class PrivilegeDrop : public ::testing::TestWithParam<std::string> {};

TEST_P(PrivilegeDrop, ServesAndReloadsAsTheUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const std::string program = GetParam();
  const struct passwd *nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  harness::TempDir dir;
  const unsigned number = harness::FreePort();
  const std::string port = std::to_string(number), root = dir / "root", uid = std::to_string(nobody->pw_uid);
  harness::MakeDirs(root);
  harness::MakeDirs(dir / "accounts");
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);  // reachable for nobody
  ASSERT_EQ(chmod(root.c_str(), 0777), 0);
  harness::WriteFile(root + "/a.txt", "served");
  harness::WriteFile(dir / "accounts/up.ini",
                     "; up\nPassWord=pw\nAllowIPAddress=ALL\nCloseIfIdle=no\nAllowFullBandwidth=no\nRootDirectory=" + root +
                         "\nDiskQuota=0\nAddCommand=STOR\nAddCommand=PASV\nAddCommand=TYPE\n");
  harness::WriteFile(dir / (program + ".ini"),
                     "; " + program + "\nUser=nobody\nPort=" + port + "\n" +
                         (program == "zolf" ? "DataPort=" + std::to_string(harness::ListenPortsFor(number))
                                            : "AddVirtual=/;" + root) + "\n");
  harness::Server server;
  ASSERT_TRUE(server.Start(harness::Bin(program), {}, dir.path(), number));
  // A session: zolf takes an upload, which nobody must own; mirt answers.
  auto serves = [&](const std::string &name) {
    std::string out;
    if (program == "mirt")
      return harness::Run("curl -sf --max-time 10 http://127.0.0.1:" + port + "/a.txt", &out, 30) == 0 &&
             out == "served";
    harness::WriteFile(dir / name, "uploaded");
    struct stat st;
    return harness::Run("curl -s --max-time 10 -T '" + (dir / name) + "' ftp://up:pw@127.0.0.1:" + port + "/",
                        &out, 30) == 0 &&
           stat((root + "/" + name).c_str(), &st) == 0 && st.st_uid == nobody->pw_uid;
  };
  // The drop comes just after the port is bound.
  EXPECT_TRUE(harness::WaitFor([&] {
    return harness::ReadFile("/proc/" + std::to_string(server.proc.pid()) + "/status")
               .find("\nUid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid + "\n") != std::string::npos;
  }));
  EXPECT_TRUE(serves("one")) << server.proc.Stderr();
  ASSERT_EQ(kill(server.proc.pid(), SIGHUP), 0);
  EXPECT_TRUE(harness::WaitFor([&] {
    return server.proc.Stdout().find("Configuration " + program + ".ini reloaded.\n") != std::string::npos;
  })) << server.proc.Stderr();
  EXPECT_TRUE(serves("two")) << server.proc.Stderr();
  EXPECT_EQ(server.proc.Stop(10), 0);
}

INSTANTIATE_TEST_SUITE_P(Servers, PrivilegeDrop, ::testing::Values("zolf", "mirt"));
