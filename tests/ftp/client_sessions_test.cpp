// Whole sessions of the common FTP clients, unchanged and with their
// default settings, against the running server: lftp, curl, Python's
// ftplib, wget and the command-line ftp client. Each checks the bytes that
// arrived on disk or on the client's side.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "data_fixture.h"

namespace {

const char kGrants[] =
    "CWD CDUP PASV PORT LIST RETR STOR APPE TYPE DELE SIZE MDTM MKD RMD RNFR RNTO SITE";

std::string Url(const Zolf &z, const std::string &path) {
  return "ftp://127.0.0.1:" + std::to_string(z.port) + path;
}

mode_t Mode(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::string Quoted(const std::string &s) { return "'" + s + "'"; }

// The tree every session starts from: pub/docs/readme.txt, pub/big.bin,
// pub/empty/ (an empty directory), with modes of their own.
struct Tree {
  std::string big = Pattern(3 * 1024 * 1024 + 17, 3);
  void Make(const std::string &root) {
    harness::MakeDirs(root + "/pub/docs");
    harness::MakeDirs(root + "/pub/empty");
    chmod((root + "/pub").c_str(), 0755);
    harness::WriteFile(root + "/pub/docs/readme.txt", "read me\n");
    harness::WriteFile(root + "/pub/big.bin", big);
    chmod((root + "/pub/docs/readme.txt").c_str(), 0640);
    chmod((root + "/pub/big.bin").c_str(), 0604);
    chmod((root + "/pub/empty").c_str(), 0750);
  }
};

}  // namespace

TEST(FtpClients, LftpWithDefaultSettings) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  Tree tree;
  tree.Make(z.Root());
  ASSERT_TRUE(z.Start("MaxUsers=4\nTimeoutTime=2\nLogRotation=1\nLogDir=.\n"));
  harness::TempDir local;
  // A partial copy for get -c to finish, a file to put, a tree for mirror -R.
  harness::WriteFile(local / "big.bin", tree.big.substr(0, 1000000));
  harness::WriteFile(local / "put.txt", "put by lftp\n");
  harness::MakeDirs(local / "up/sub");
  harness::MakeDirs(local / "up/void");
  harness::WriteFile(local / "up/sub/one.bin", Pattern(5000, 7));
  std::string script =
      "set cmd:fail-exit yes; "
      "ls; ls pub; cd pub/docs; pwd; get readme.txt -o " + Quoted(local / "readme.txt") + "; "
      "cd /pub; get -c big.bin -o " + Quoted(local / "big.bin") + "; "
      "mirror /pub " + Quoted(local / "mirror") + "; "
      "mirror -R " + Quoted(local / "up") + " /up; "
      "put " + Quoted(local / "put.txt") + " -o /put.txt; "
      "mkdir /made; mv /put.txt /made/moved.txt; get /made/moved.txt -o " +
      Quoted(local / "moved.txt") + "; rm /made/moved.txt; rmdir /made; quit";
  std::string out;
  int status = harness::Run("cd " + Quoted(local.path()) + " && lftp -u u,pw -p " +
                                std::to_string(z.port) + " -e " + Quoted(script) + " 127.0.0.1",
                            &out, 120);
  ASSERT_EQ(status, 0) << out << z.Stderr();
  // ls and ls pub: the top, then pub's own entries with their modes.
  EXPECT_NE(out.find(" pub\n"), std::string::npos) << out;
  EXPECT_NE(out.find("-rw----r--   1 owner    group         3145745 "), std::string::npos) << out;
  EXPECT_NE(out.find("drwxr-x---   1 owner    group               0 "), std::string::npos) << out;
  EXPECT_NE(out.find("/pub/docs"), std::string::npos) << out;  // pwd after cd pub/docs
  EXPECT_EQ(harness::ReadFile(local / "readme.txt"), "read me\n");
  EXPECT_TRUE(harness::ReadFile(local / "big.bin") == tree.big);
  EXPECT_NE(z.Log().find(": REST 1000000\n"), std::string::npos);  // resumed, not fetched again
  // The mirror: every file whole, the empty directory, the modes.
  EXPECT_TRUE(harness::ReadFile(local / "mirror/big.bin") == tree.big);
  EXPECT_EQ(harness::ReadFile(local / "mirror/docs/readme.txt"), "read me\n");
  EXPECT_TRUE(harness::Exists(local / "mirror/empty"));
  EXPECT_EQ(Mode(local / "mirror/big.bin"), 0604u);
  EXPECT_EQ(Mode(local / "mirror/docs/readme.txt"), 0640u);
  EXPECT_EQ(Mode(local / "mirror/empty"), 0750u);
  // mirror -R, put, mkdir, mv, rm, rmdir on the server's side.
  EXPECT_TRUE(harness::ReadFile(z.Root() + "/up/sub/one.bin") == Pattern(5000, 7));
  EXPECT_TRUE(harness::Exists(z.Root() + "/up/void"));
  EXPECT_EQ(harness::ReadFile(local / "moved.txt"), "put by lftp\n");
  EXPECT_FALSE(harness::Exists(z.Root() + "/put.txt"));
  EXPECT_FALSE(harness::Exists(z.Root() + "/made"));
}

TEST(FtpClients, CurlMethodsModesAndResume) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  Tree tree;
  tree.Make(z.Root());
  ASSERT_TRUE(z.Start());
  harness::TempDir local;
  auto curl = [&](const std::string &args, std::string *out) {
    return harness::Run("curl -sS -v --max-time 30 -u u:pw " + args, out, 60);
  };
  std::string out;
  for (const char *method : {"multicwd", "singlecwd", "nocwd"}) {
    std::string to = local / (std::string("readme.") + method);
    EXPECT_EQ(curl(std::string("--ftp-method ") + method + " -o " + Quoted(to) + " " +
                       Url(z, "/pub/docs/readme.txt"),
                   &out),
              0)
        << method << out;
    EXPECT_EQ(harness::ReadFile(to), "read me\n") << method;
  }
  // EPSV by default.
  EXPECT_NE(out.find("< 229 Entering Extended Passive Mode"), std::string::npos) << out;

  // A new nested path is made and the file lands exactly there.
  harness::WriteFile(local / "up.bin", Pattern(100000, 5));
  EXPECT_EQ(curl("--ftp-create-dirs -T " + Quoted(local / "up.bin") + " " +
                     Url(z, "/new/deeper/up.bin"),
                 &out),
            0)
      << out;
  EXPECT_TRUE(harness::ReadFile(z.Root() + "/new/deeper/up.bin") == Pattern(100000, 5));
  EXPECT_FALSE(harness::Exists(z.Root() + "/up.bin"));
  // Names only.
  EXPECT_EQ(harness::Run("curl -sS --max-time 30 -u u:pw -l " + Url(z, "/pub/"), &out, 60), 0);
  std::multiset<std::string> names;
  for (size_t at = 0; at < out.size();) {
    size_t end = out.find('\n', at);
    names.insert(out.substr(at, end - at));
    at = end + 1;
  }
  EXPECT_EQ(names, (std::multiset<std::string>{"big.bin", "docs", "empty"})) << out;
  // Resume of a partial download.
  harness::WriteFile(local / "big.bin", tree.big.substr(0, 123456));
  EXPECT_EQ(curl("-C - -o " + Quoted(local / "big.bin") + " " + Url(z, "/pub/big.bin"), &out), 0)
      << out;
  EXPECT_NE(out.find("> REST 123456"), std::string::npos) << out;
  EXPECT_TRUE(harness::ReadFile(local / "big.bin") == tree.big);
  // PASV when EPSV is turned off, active mode on request.
  EXPECT_EQ(curl("--disable-epsv -o " + Quoted(local / "p") + " " + Url(z, "/pub/big.bin"), &out),
            0);
  EXPECT_NE(out.find("> PASV"), std::string::npos) << out;
  EXPECT_TRUE(harness::ReadFile(local / "p") == tree.big);
  EXPECT_EQ(curl("-P - -o " + Quoted(local / "a") + " " + Url(z, "/pub/big.bin"), &out), 0);
  EXPECT_TRUE(out.find("> EPRT |1|127.0.0.1|") != std::string::npos ||
              out.find("> PORT 127,0,0,1,") != std::string::npos)
      << out;
  EXPECT_TRUE(harness::ReadFile(local / "a") == tree.big);
}

TEST(FtpClients, PythonFtplibSession) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  // Large enough that a download cannot finish inside the socket buffers
  // before the client's ABOR arrives.
  std::string big = Pattern(48 * 1024 * 1024, 11);
  harness::WriteFile(z.Root() + "/big.bin", big);
  harness::MakeDirs(z.Root() + "/pub/empty");
  harness::WriteFile(z.Root() + "/pub/readme.txt", "hello\n");
  chmod((z.Root() + "/pub/readme.txt").c_str(), 0640);
  ASSERT_TRUE(z.Start());
  harness::TempDir local;
  harness::WriteFile(local / "big.bin", big);
  harness::WriteFile(local / "lines.txt", "first line\nsecond line\n\nlast\n");
  std::string out;
  int status = harness::Run("python3 " + std::string(SOURCE_DIR) +
                                "/tests/ftp/ftplib_session.py " + std::to_string(z.port) +
                                " u pw " + Quoted(local.path()),
                            &out, 120);
  EXPECT_EQ(status, 0) << out << z.Stderr();
  // The text upload arrived with CR LF line ends, as ASCII mode sends it.
  EXPECT_EQ(harness::ReadFile(z.Root() + "/lines.txt"), "first line\r\nsecond line\r\n\r\nlast\r\n");
}

TEST(FtpClients, WgetSingleFileAndRecursive) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  Tree tree;
  tree.Make(z.Root());
  ASSERT_TRUE(z.Start());
  harness::TempDir local;
  std::string base = "ftp://u:pw@127.0.0.1:" + std::to_string(z.port);
  std::string out;
  EXPECT_EQ(harness::Run("cd " + Quoted(local.path()) + " && wget -q " + base + "/pub/big.bin",
                         &out, 60),
            0)
      << out;
  EXPECT_TRUE(harness::ReadFile(local / "big.bin") == tree.big);
  EXPECT_EQ(harness::Run("cd " + Quoted(local.path()) + " && wget -q -r -nH " + base + "/pub/",
                         &out, 60),
            0)
      << out;
  EXPECT_TRUE(harness::ReadFile(local / "pub/big.bin") == tree.big);
  EXPECT_EQ(harness::ReadFile(local / "pub/docs/readme.txt"), "read me\n");
}

TEST(FtpClients, CommandLineFtpClient) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  Tree tree;
  tree.Make(z.Root());
  ASSERT_TRUE(z.Start());
  harness::TempDir local;
  harness::WriteFile(local / "mine.txt", "from the ftp client\n");
  harness::MakeDirs(local / "all");
  harness::WriteFile(local / "commands",
                     "user u pw\nls\ncd pub\nget big.bin\nput mine.txt\n"
                     "lcd all\nprompt off\nmget *\nbye\n");
  std::string out;
  int status = harness::Run("cd " + Quoted(local.path()) + " && ftp -n -v 127.0.0.1 " +
                                std::to_string(z.port) + " < commands",
                            &out, 120);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("drwxr-xr-x   1 owner    group               0 "), std::string::npos) << out;
  EXPECT_TRUE(harness::ReadFile(local / "big.bin") == tree.big);
  EXPECT_EQ(harness::ReadFile(z.Root() + "/pub/mine.txt"), "from the ftp client\n");
  // mget * takes every file of pub (the directories are no files to get).
  EXPECT_TRUE(harness::ReadFile(local / "all/big.bin") == tree.big);
  EXPECT_EQ(harness::ReadFile(local / "all/mine.txt"), "from the ftp client\n");
}
