// Started as root with User=, each server binds its port, reads its keys
// and opens its log as root, then serves as that user: the process keeps
// no root id, what zolf stores belongs to the user, and a reload (SIGHUP)
// still works after the drop.
#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "harness.h"

namespace {

// The real, effective, saved and file-system ids of a "Uid:" or "Gid:"
// line of /proc/PID/status, as one text ("65534 65534 65534 65534").
std::string Ids(pid_t pid, const std::string &field) {
  std::istringstream status(harness::ReadFile("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) != 0) continue;
    std::istringstream words(line.substr(field.size() + 1));
    std::string id, all;
    while (words >> id) all += (all.empty() ? "" : " ") + id;
    return all;
  }
  return "";
}

std::string Four(unsigned id) {
  std::string one = std::to_string(id);
  return one + " " + one + " " + one + " " + one;
}

struct Dropped {
  harness::TempDir dir;
  unsigned port = harness::FreePort();
  harness::Server server;
  const struct passwd *user = getpwnam("nobody");

  // The server's configuration file, with User= behind its own keys.
  std::string Config(const std::string &program) const {
    std::string p = std::to_string(port);
    if (program == "zolf")
      return "; zolf as nobody\nPort=" + p + "\nDataPort=" +
             std::to_string(harness::ListenPortsFor(port)) +
             "\nMaxUsers=4\nTimeoutTime=10\nUser=nobody\n";
    return "; mirt as nobody\nPort=" + p + "\nAddress=127.0.0.1\nExternIP=http://127.0.0.1:" + p +
           "\nTimeout=30\nMaxConnections=20\nExtendedMessages=1\nDirectoryListing=0\n"
           "ShowProtectedFiles=0\nAddType=.txt;text/plain\nAddIndex=index.htm\nAddVirtual=/;" +
           (dir / "root") + "\nLogRotation=1\nLogMaxEntries=0\nLogMaxAge=24\nLogDir=.\n"
           "User=nobody\n";
  }

  // One client session; true when it got through. zolf takes an upload
  // (the file must then belong to the user), mirt answers a GET.
  bool Serve(const std::string &program, int n, std::string *out) {
    std::string url = "://127.0.0.1:" + std::to_string(port) + "/";
    if (program == "mirt")
      return harness::Run("curl -sf --max-time 10 http" + url + "a.txt", out, 30) == 0 &&
             *out == "served";
    std::string name = "up" + std::to_string(n) + ".txt";
    harness::WriteFile(dir / name, "uploaded");
    if (harness::Run("curl -s --max-time 10 -T '" + (dir / name) + "' ftp://up:pw@127.0.0.1:" +
                         std::to_string(port) + "/",
                     out, 30) != 0)
      return false;
    struct stat st;
    return stat((dir / "root/" + name).c_str(), &st) == 0 && st.st_uid == user->pw_uid;
  }
};

class PrivilegeDrop : public ::testing::TestWithParam<std::string> {};

TEST_P(PrivilegeDrop, ServesAndReloadsAsTheUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const std::string program = GetParam();
  Dropped d;
  ASSERT_NE(d.user, nullptr);
  // The files and the tree must be reachable for nobody.
  harness::MakeDirs(d.dir / "root");
  ASSERT_EQ(chmod(d.dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod((d.dir / "root").c_str(), 0777), 0);
  harness::WriteFile(d.dir / "root/a.txt", "served");
  harness::MakeDirs(d.dir / "accounts");
  harness::WriteFile(d.dir / "accounts/up.ini",
                     "; account\nPassWord=pw\nAllowIPAddress=ALL\nCloseIfIdle=no\n"
                     "AllowFullBandwidth=no\nRootDirectory=" + (d.dir / "root") +
                         "\nDiskQuota=0\nAddCommand=STOR\nAddCommand=PASV\nAddCommand=TYPE\n");
  const std::string ini = d.dir / (program + ".ini");
  harness::WriteFile(ini, d.Config(program));
  ASSERT_TRUE(d.server.Start(harness::Bin(program), {}, d.dir.path(), d.port));
  const pid_t pid = d.server.proc.pid();
  EXPECT_EQ(Ids(pid, "Uid"), Four(d.user->pw_uid));
  EXPECT_EQ(Ids(pid, "Gid"), Four(d.user->pw_gid));
  std::string out;
  EXPECT_TRUE(d.Serve(program, 1, &out)) << out << d.server.proc.Stderr();

  // The file is read again as nobody, and the server goes on serving.
  harness::WriteFile(ini, d.Config(program) + "; reloaded\n");
  ASSERT_EQ(kill(pid, SIGHUP), 0);
  const std::string reloaded = "Configuration " + program + ".ini reloaded.\n";
  EXPECT_TRUE(harness::WaitFor([&] {
    return d.server.proc.Stdout().find(reloaded) != std::string::npos;
  })) << d.server.proc.Stdout() << d.server.proc.Stderr();
  EXPECT_TRUE(d.Serve(program, 2, &out)) << out << d.server.proc.Stderr();
  EXPECT_EQ(Ids(pid, "Uid"), Four(d.user->pw_uid));
  EXPECT_EQ(d.server.proc.Stderr().find("Running as root"), std::string::npos) << d.server.proc.Stderr();
  EXPECT_EQ(d.server.proc.Stop(10), 0);
}

INSTANTIATE_TEST_SUITE_P(Servers, PrivilegeDrop, ::testing::Values("zolf", "mirt"));

}  // namespace
