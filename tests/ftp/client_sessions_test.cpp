// Whole sessions of the common FTP clients, unchanged and with their
// default settings, against the running server: lftp, curl, rclone,
// Python's ftplib, wget and the command-line ftp client. Each session is written
// once and runs over IPv4 and IPv6, in clear text and, where the client
// speaks it, with explicit TLS; each checks the bytes that arrived on disk
// or on the client's side. Last, the bundled demo account as a new user
// would try it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "data_fixture.h"
#include "tls.h"

namespace {

const char kGrants[] =
    "CWD CDUP PASV PORT LIST RETR STOR APPE TYPE DELE SIZE MDTM MKD RMD RNFR RNTO SITE";

mode_t Mode(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::string Quoted(const std::string &s) { return "'" + s + "'"; }

// The tree most sessions start from: pub/docs/readme.txt, pub/big.bin,
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

struct Variant {
  bool ipv6, tls;
  bool userSpace = false;  // TLS file data kept from the kernel's encryption
};

std::string Name(const ::testing::TestParamInfo<Variant> &info) {
  return std::string(info.param.ipv6 ? "Ipv6" : "Ipv4") + (info.param.tls ? "Tls" : "") +
         (info.param.userSpace ? "UserSpace" : "");
}

// One server per session, listening on the variant's loopback address
// with a certificate when the variant is encrypted. The account admits
// its address written out in full: IPv6 texts are compared as addresses.
class FtpClients : public ::testing::TestWithParam<Variant> {
 protected:
  Zolf z;
  harness::TempDir local;
  bool six = GetParam().ipv6, tls = GetParam().tls, userSpace = GetParam().userSpace;

  void SetUp() override {
    if (six && !harness::Ipv6Loopback()) GTEST_SKIP() << "no ::1 on this machine";
    if (userSpace && !TlsKernelOffered()) GTEST_SKIP() << "the Tls variants are in user space";
    if (userSpace) setenv("ORVALD_TLS_USER_SPACE", "1", 1);  // for the servers started
    z.host = six ? "::1" : "127.0.0.1";
    z.SimpleAccount("u", "pw", kGrants);
    z.Allow("u", six ? "0:0:0:0:0:0:0:1" : "127.0.0.1");
  }
  ~FtpClients() override { unsetenv("ORVALD_TLS_USER_SPACE"); }
  // `users`: MaxUsers= and MaxPerAddress= as the session needs them; empty
  // for the defaults.
  bool Start(const std::string &keys = "", const std::string &users = "MaxUsers=4\n") {
    if (!z.Start("Address=" + z.host + "\n" + users + "TimeoutTime=5\nLogRotation=1\nLogDir=.\n" +
                 (tls ? z.TlsKeys() : "") + keys))
      return false;
    // The banner is printed just after the port opens: wait for it.
    EXPECT_TRUE(harness::WaitFor([&] {
      return z.server.proc.Stdout().find("[" + z.host + "]") != std::string::npos;
    })) << z.server.proc.Stdout();
    return true;
  }
  // The host as a URL names it.
  std::string UrlHost() const { return six ? "[::1]" : "127.0.0.1"; }
  std::string Url(const std::string &path) const {
    return "ftp://" + UrlHost() + ":" + std::to_string(z.port) + path;
  }
  // The log's column for the client's address.
  std::string LogAddress() const {
    std::string a = z.host;
    a.resize(15, ' ');
    return " [" + a + "] ";
  }
  int Curl(const std::string &args, std::string *out) {
    return harness::Run("curl -sS -v -g --max-time 30 " +
                            std::string(tls ? "--ssl-reqd -k " : "") + "-u u:pw " + args,
                        out, 60);
  }
};

}  // namespace

TEST_P(FtpClients, Lftp) {
  Tree tree;
  tree.Make(z.Root());
  // Encrypted, lftp resumes the control connection's TLS session on every
  // data connection, and refuses to go on in clear text. The limits are
  // the defaults: mirror --parallel=8 opens eight sessions besides its own.
  ASSERT_TRUE(Start(tls ? "RequireTLS=1\n" : "", ""));
  // A partial copy for get -c to finish, a file to put, a tree for mirror -R.
  harness::WriteFile(local / "big.bin", tree.big.substr(0, 1000000));
  harness::WriteFile(local / "put.txt", "put by lftp\n");
  harness::MakeDirs(local / "up/sub");
  harness::MakeDirs(local / "up/void");
  harness::WriteFile(local / "up/sub/one.bin", Pattern(5000, 7));
  // Twenty files each way for the parallel mirrors.
  for (int i = 0; i < 20; i++) {
    std::string name = "/f" + std::to_string(i) + ".bin";
    harness::MakeDirs(z.Root() + "/many/d" + std::to_string(i % 3));
    harness::MakeDirs(local / ("many-up/d" + std::to_string(i % 3)));
    harness::WriteFile(z.Root() + "/many/d" + std::to_string(i % 3) + name, Pattern(40000 + i, i));
    harness::WriteFile(local / ("many-up/d" + std::to_string(i % 3) + name), Pattern(30000 + i, i));
  }
  std::string script =
      std::string(tls ? "set ftp:ssl-force true; set ftp:ssl-protect-data true; "
                        "set ssl:verify-certificate no; "
                      : "") +
      "set net:max-retries 1; set net:timeout 20; set cmd:fail-exit yes; "
      "ls; ls pub; cd pub/docs; pwd; get readme.txt -o " + Quoted(local / "readme.txt") + "; "
      "cd /pub; get -c big.bin -o " + Quoted(local / "big.bin") + "; "
      "mirror /pub " + Quoted(local / "mirror") + "; "
      "mirror -R " + Quoted(local / "up") + " /up; "
      "mirror --parallel=8 /many " + Quoted(local / "many") + "; "
      "mirror -R --parallel=8 " + Quoted(local / "many-up") + " /many-up; "
      "put " + Quoted(local / "put.txt") + " -o /put.txt; cls -l /put.txt; "
      "mkdir /made; mv /put.txt /made/moved.txt; chmod 644 /made/moved.txt; "
      "mv /made/moved.txt /up/moved.txt; get /up/moved.txt -o " +
      Quoted(local / "moved.txt") + "; rmdir /made; quit";
  std::string out;
  int status = harness::Run("cd " + Quoted(local.path()) + " && lftp -u u,pw -p " +
                                std::to_string(z.port) + " -e " + Quoted(script) + " " + z.host,
                            &out, 120);
  ASSERT_EQ(status, 0) << out << z.Stderr();
  // ls and ls pub: the top, then pub's own entries with their modes.
  EXPECT_NE(out.find(" pub\n"), std::string::npos) << out;
  EXPECT_NE(out.find("-rw----r--   1 owner    group         3145745 "), std::string::npos) << out;
  EXPECT_NE(out.find("drwxr-x---   1 owner    group               0 "), std::string::npos) << out;
  EXPECT_NE(out.find("/pub/docs"), std::string::npos) << out;  // pwd after cd pub/docs
  EXPECT_EQ(harness::ReadFile(local / "readme.txt"), "read me\n");
  EXPECT_TRUE(harness::ReadFile(local / "big.bin") == tree.big);
  // Resumed, not fetched again (the line reaches the log within a second).
  EXPECT_TRUE(harness::WaitFor([&] { return z.Log().find(": REST 1000000\n") != std::string::npos; }));
  // The mirror: every file whole, the empty directory, the modes.
  EXPECT_TRUE(harness::ReadFile(local / "mirror/big.bin") == tree.big);
  EXPECT_EQ(harness::ReadFile(local / "mirror/docs/readme.txt"), "read me\n");
  EXPECT_TRUE(harness::Exists(local / "mirror/empty"));
  EXPECT_EQ(Mode(local / "mirror/big.bin"), 0604u);
  EXPECT_EQ(Mode(local / "mirror/docs/readme.txt"), 0640u);
  EXPECT_EQ(Mode(local / "mirror/empty"), 0750u);
  // mirror -R, put (listed by cls), mkdir, mv, rm, rmdir on the server's side.
  EXPECT_TRUE(harness::ReadFile(z.Root() + "/up/sub/one.bin") == Pattern(5000, 7));
  EXPECT_TRUE(harness::Exists(z.Root() + "/up/void"));
  EXPECT_NE(out.find("put.txt\n"), std::string::npos) << out;
  // mv down, then sideways into another directory; chmod kept through it.
  EXPECT_EQ(harness::ReadFile(local / "moved.txt"), "put by lftp\n");
  EXPECT_EQ(Mode(z.Root() + "/up/moved.txt"), 0644u);
  EXPECT_FALSE(harness::Exists(z.Root() + "/put.txt"));
  EXPECT_FALSE(harness::Exists(z.Root() + "/made"));
  // Both parallel mirrors whole, and no session turned away.
  for (int i = 0; i < 20; i++) {
    std::string name = "/d" + std::to_string(i % 3) + "/f" + std::to_string(i) + ".bin";
    EXPECT_TRUE(harness::ReadFile(local / ("many" + name)) == Pattern(40000 + i, i)) << name;
    EXPECT_TRUE(harness::ReadFile(z.Root() + "/many-up" + name) == Pattern(30000 + i, i)) << name;
  }
  // The log is written in order: once the last command is in, so is any
  // refusal before it.
  EXPECT_TRUE(harness::WaitFor([&] { return z.Log().find(": RMD /made") != std::string::npos; }));
  EXPECT_EQ(z.Log().find("421 "), std::string::npos) << z.Log();
}

TEST_P(FtpClients, Rclone) {
  if (harness::Run("command -v rclone") != 0) GTEST_SKIP() << "rclone is not installed";
  ASSERT_TRUE(Start());
  // A tree five levels deep, one file with a time of its own to keep.
  harness::MakeDirs(local / "src/a/b/c/d/e");
  harness::WriteFile(local / "src/a/one.txt", "one\n");
  harness::WriteFile(local / "src/a/b/c/d/e/five.bin", Pattern(70000, 5));
  struct timespec old[2] = {{981173106, 0}, {981173106, 0}};  // 2001-02-03 04:05:06Z
  ASSERT_EQ(utimensat(AT_FDCWD, (local / "src/a/b/c/d/e/five.bin").c_str(), old, 0), 0);
  // rclone joins host and port as text: an IPv6 host goes in brackets.
  std::string env = "RCLONE_CONFIG=/dev/null RCLONE_FTP_HOST=" + UrlHost() +
                    " RCLONE_FTP_PORT=" + std::to_string(z.port) +
                    " RCLONE_FTP_USER=u RCLONE_FTP_PASS=$(rclone obscure pw) " +
                    // However fast the machine, rclone's pool stays within
                    // the server's four sessions (one more connection than
                    // transfers and checkers, as rclone asks).
                    "RCLONE_FTP_CONCURRENCY=3 RCLONE_TRANSFERS=1 RCLONE_CHECKERS=1 " +
                    (tls ? "RCLONE_FTP_EXPLICIT_TLS=true RCLONE_FTP_NO_CHECK_CERTIFICATE=true " : "");
  std::string out;
  for (const std::string &step : std::vector<std::string>{"mkdir :ftp:/made", "copy " + Quoted(local / "src") + " :ftp:/tree",
                           "check " + Quoted(local / "src") + " :ftp:/tree",
                           "move :ftp:/tree/a/one.txt :ftp:/made/",
                           "sync " + Quoted(local / "src") + " :ftp:/synced"}) {
    EXPECT_EQ(harness::Run(env + "timeout 60 rclone --low-level-retries 1 --retries 1 " + step,
                           &out, 90),
              0)
        << step << "\n" << out << z.Stderr();
  }
  EXPECT_TRUE(harness::ReadFile(z.Root() + "/tree/a/b/c/d/e/five.bin") == Pattern(70000, 5));
  struct stat st;
  ASSERT_EQ(stat((z.Root() + "/synced/a/b/c/d/e/five.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 981173106);  // kept through MFMT
  EXPECT_EQ(harness::ReadFile(z.Root() + "/made/one.txt"), "one\n");
  EXPECT_FALSE(harness::Exists(z.Root() + "/tree/a/one.txt"));
}

TEST_P(FtpClients, CurlMethodsModesUploadsAndResume) {
  Tree tree;
  tree.Make(z.Root());
  ASSERT_TRUE(Start());
  std::string out;
  for (const char *method : {"multicwd", "singlecwd", "nocwd"}) {
    std::string to = local / (std::string("readme.") + method);
    EXPECT_EQ(Curl(std::string("--ftp-method ") + method + " -o " + Quoted(to) + " " +
                       Url("/pub/docs/readme.txt"),
                   &out),
              0)
        << method << out << z.Stderr();
    EXPECT_EQ(harness::ReadFile(to), "read me\n") << method;
  }
  // EPSV by default; encrypted, the data too (PROT P).
  EXPECT_NE(out.find("> EPSV"), std::string::npos) << out;
  EXPECT_NE(out.find("< 229 Entering Extended Passive Mode (|||"), std::string::npos) << out;
  if (tls) {
    EXPECT_NE(out.find("> AUTH TLS"), std::string::npos) << out;
    EXPECT_NE(out.find("< 234 "), std::string::npos) << out;
    EXPECT_NE(out.find("> PROT P"), std::string::npos) << out;
    EXPECT_NE(out.find("< 200 Protection level set to Private."), std::string::npos) << out;
  }
  EXPECT_EQ(Curl("-o " + Quoted(local / "got") + " " + Url("/pub/big.bin"), &out), 0) << out;
  EXPECT_TRUE(harness::ReadFile(local / "got") == tree.big);

  if (tls) {
    // Far larger than any piece or socket buffer, whole and from an offset
    // inside a record.
    EXPECT_NE(z.server.proc.Stdout().find("TLS sends: "), std::string::npos);
    std::string large = Quoted(z.Root() + "/large.bin");
    harness::WriteFile(z.Root() + "/large.bin", Pattern(64 * 1024 * 1024 + 5, 11));
    for (std::string from : {"0", "20000001"})
      EXPECT_EQ(Curl("-C " + from + " -o " + Quoted(local / from) + " " + Url("/large.bin") +
                         " && tail -c +$((" + from + " + 1)) " + large + " | cmp - " +
                         Quoted(local / from),
                     &out),
                0)
          << out;
  }

  // A new nested path is made and the file lands exactly there, under the
  // name it has on the client's side.
  std::string upload = Pattern(1024 * 1024 + 3, 9);
  harness::WriteFile(local / "up.bin", upload);
  EXPECT_EQ(Curl("--ftp-create-dirs -T " + Quoted(local / "up.bin") + " " + Url("/new/deeper/"),
                 &out),
            0)
      << out;
  EXPECT_TRUE(harness::ReadFile(z.Root() + "/new/deeper/up.bin") == upload);
  EXPECT_FALSE(harness::Exists(z.Root() + "/up.bin"));
  // Listings come in ASCII mode; curl ends their lines with LF alone.
  EXPECT_EQ(Curl(Url("/pub/"), &out), 0) << out;
  EXPECT_NE(out.find("-rw----r--   1 owner    group         3145745 "), std::string::npos) << out;
  EXPECT_NE(out.find(" big.bin\n"), std::string::npos) << out;
  EXPECT_EQ(Curl(Url("/new/deeper/"), &out), 0) << out;
  EXPECT_NE(out.find(" up.bin\n"), std::string::npos) << out;
  // Names only.
  EXPECT_EQ(harness::Run("curl -sS -g --max-time 30 " + std::string(tls ? "--ssl-reqd -k " : "") +
                             "-u u:pw -l " + Url("/pub/"),
                         &out, 60),
            0);
  std::multiset<std::string> names;
  for (size_t at = 0; at < out.size();) {
    size_t end = out.find('\n', at);
    names.insert(out.substr(at, end - at));
    at = end + 1;
  }
  EXPECT_EQ(names, (std::multiset<std::string>{"big.bin", "docs", "empty"})) << out;
  // Resume of a partial download.
  harness::WriteFile(local / "big.bin", tree.big.substr(0, 123456));
  EXPECT_EQ(Curl("-C - -o " + Quoted(local / "big.bin") + " " + Url("/pub/big.bin"), &out), 0)
      << out;
  EXPECT_NE(out.find("> REST 123456"), std::string::npos) << out;
  EXPECT_TRUE(harness::ReadFile(local / "big.bin") == tree.big);
  // PASV when EPSV is turned off (it carries IPv4 addresses only).
  if (!six) {
    EXPECT_EQ(Curl("--disable-epsv -o " + Quoted(local / "p") + " " + Url("/pub/big.bin"), &out),
              0);
    EXPECT_NE(out.find("> PASV"), std::string::npos) << out;
    EXPECT_TRUE(harness::ReadFile(local / "p") == tree.big);
  }
  // Active mode on request: EPRT to the client's own address. (curl 7.88
  // times out on an encrypted transfer over a connection it accepted: the
  // ftplib session runs active mode encrypted.)
  if (!tls) {
    EXPECT_EQ(Curl("-P - -o " + Quoted(local / "a") + " " + Url("/pub/big.bin"), &out), 0) << out;
    EXPECT_NE(out.find(six ? "> EPRT |2|::1|" : "> EPRT |1|127.0.0.1|"), std::string::npos)
        << out;
    EXPECT_TRUE(harness::ReadFile(local / "a") == tree.big);
  }
  // The log names the client by its address as it is.
  std::string log;
  harness::WaitFor([&] { return (log = z.Log()).find("u: RETR big.bin\n") != std::string::npos; });
  EXPECT_NE(log.find(LogAddress() + "u: RETR big.bin\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("::ffff:"), std::string::npos) << log;
}

TEST_P(FtpClients, PythonFtplibSession) {
  // Large enough that a download cannot finish inside the socket buffers
  // before the client's ABOR arrives.
  std::string big = Pattern(48 * 1024 * 1024, 11);
  std::string f = Pattern(2 * 1024 * 1024 + 5);
  harness::WriteFile(z.Root() + "/big.bin", big);
  harness::WriteFile(z.Root() + "/f", f);
  chmod((z.Root() + "/f").c_str(), 0640);
  harness::MakeDirs(z.Root() + "/pub/empty");
  harness::WriteFile(z.Root() + "/pub/readme.txt", "hello\n");
  chmod((z.Root() + "/pub/readme.txt").c_str(), 0640);
  ASSERT_TRUE(Start());
  std::string upload = Pattern(700001, 4);
  harness::WriteFile(local / "big.bin", big);
  harness::WriteFile(local / "src", upload);
  harness::WriteFile(local / "lines.txt", "first line\nsecond line\n\nlast\n");
  std::string out;
  int status = harness::Run("python3 " + std::string(SOURCE_DIR) + "/tests/ftp/ftplib_session.py " +
                                z.host + " " + std::to_string(z.port) + " u pw " +
                                Quoted(local.path()) + (tls ? " tls" : ""),
                            &out, 120);
  EXPECT_EQ(status, 0) << out << z.Stderr();
  // The replies of the start, the first listing, and of the end.
  std::string start = tls ? "220 Ready.\n234 Proceed with TLS negotiation.\n230 Welcome!\n"
                            "200 Protection level set to Private.\n"
                          : "220 Ready.\n230 Welcome!\n";
  EXPECT_NE(out.find(start + "226 Transfer complete.\n"), std::string::npos) << out;
  EXPECT_NE(out.find("list -rw-r-----   1 owner    group         2097157 "), std::string::npos)
      << out;
  EXPECT_NE(out.find("list drwx"), std::string::npos) << out;
  EXPECT_NE(out.find("226 Transfer complete.\n226 Transfer complete.\n221 Goodbye!\n"),
            std::string::npos)
      << out;
  if (tls) {
    EXPECT_NE(out.find("cipher TLSv1.3"), std::string::npos) << out;
  }
  // The text upload arrived with CR LF line ends, as ASCII mode sends it.
  EXPECT_EQ(harness::ReadFile(z.Root() + "/lines.txt"), "first line\r\nsecond line\r\n\r\nlast\r\n");
  for (const char *mode : {"passive", "active"}) {
    EXPECT_TRUE(harness::ReadFile(local / (std::string("got-") + mode)) == f) << mode;
    EXPECT_TRUE(harness::ReadFile(z.Root() + "/up-" + mode) == upload) << mode;
  }
}

INSTANTIATE_TEST_SUITE_P(, FtpClients,
                         ::testing::Values(Variant{false, false}, Variant{true, false},
                                           Variant{false, true}, Variant{true, true},
                                           Variant{false, true, true}),
                         Name);

// Clients that speak FTP in clear text only.
class FtpPlainClients : public FtpClients {};

TEST_P(FtpPlainClients, WgetSingleFileAndRecursive) {
  Tree tree;
  tree.Make(z.Root());
  ASSERT_TRUE(Start());
  std::string base = "ftp://u:pw@" + UrlHost() + ":" + std::to_string(z.port);
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

TEST_P(FtpPlainClients, CommandLineFtpClient) {
  Tree tree;
  tree.Make(z.Root());
  ASSERT_TRUE(Start());
  harness::WriteFile(local / "mine.txt", "from the ftp client\n");
  harness::MakeDirs(local / "all");
  harness::WriteFile(local / "commands",
                     "user u pw\nls\ncd pub\nget big.bin\nput mine.txt\n"
                     "lcd all\nprompt off\nmget *\nbye\n");
  std::string out;
  int status = harness::Run("cd " + Quoted(local.path()) + " && ftp -n -v " + z.host + " " +
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

INSTANTIATE_TEST_SUITE_P(, FtpPlainClients,
                         ::testing::Values(Variant{false, false}, Variant{true, false}), Name);

TEST(FtpDemo, DemoAccountListsTheTreeAndTakesUploads) {
  harness::TempDir dir;
  std::string copy = dir / "ftp";
  ASSERT_EQ(harness::Run("cp -r '" + std::string(SOURCE_DIR) + "/examples/ftp' '" + copy + "'"), 0);
  // The account and the certificate make demo provides, made here afresh,
  // and no log of a demo run in the checkout.
  ASSERT_EQ(harness::Run("rm -f '" + copy + "/accounts/demo.ini' '" + copy +
                         "/accounts/demo.dsk' '" + copy + "'/demo-*.pem '" + copy +
                         "'/logs/*.log; sh '" + copy +
                         "/make-demo-account.sh' && sh '" + SOURCE_DIR +
                         "/scripts/demo-certificate.sh' '" + copy + "'",
                         nullptr, 30),
            0);
  unsigned port = harness::FreePort();
  unsigned dataPort = harness::ListenPortsFor(port) + 40;
  ASSERT_EQ(harness::Run("sed -i -e 's/^Port=.*/Port=" + std::to_string(port) +
                         "/' -e 's/^DataPort=.*/DataPort=" + std::to_string(dataPort) + "/' '" +
                         copy + "/zolf.ini'"),
            0);
  harness::Server server;
  ASSERT_TRUE(server.Start(harness::Bin("zolf"), {}, copy, port));
  std::string base = "ftp://127.0.0.1:" + std::to_string(port);
  std::string listing;
  int status = harness::Run("curl -sS --max-time 30 -u demo:demo " + base + "/", &listing, 60);
  EXPECT_EQ(status, 0) << listing;
  EXPECT_NE(listing.find(" README.txt\n"), std::string::npos) << listing;
  EXPECT_NE(listing.find("drwx"), std::string::npos) << listing;
  EXPECT_NE(listing.find(" pub\n"), std::string::npos) << listing;
  EXPECT_NE(listing.find(" incoming\n"), std::string::npos) << listing;

  std::string got;
  status = harness::Run("curl -sS --max-time 30 -u demo:demo " + base + "/pub/hello.txt", &got, 60);
  EXPECT_EQ(status, 0) << got;
  EXPECT_EQ(got, harness::ReadFile(copy + "/tree/pub/hello.txt"));
  // The same port with explicit TLS, the transfer encrypted too (PROT P).
  std::string secure;
  status = harness::Run("curl -sS -v -k --ssl-reqd --max-time 30 -u demo:demo " + base +
                            "/pub/hello.txt",
                        &secure, 60);
  EXPECT_EQ(status, 0) << secure;
  EXPECT_NE(secure.find("> AUTH TLS"), std::string::npos) << secure;
  EXPECT_NE(secure.find("> PROT P"), std::string::npos) << secure;
  EXPECT_NE(secure.find(got), std::string::npos) << secure;

  std::string upload = Pattern(100000, 5);
  harness::WriteFile(dir / "note.bin", upload);
  std::string out;
  status = harness::Run("curl -sS --max-time 30 -u demo:demo -T '" + (dir / "note.bin") + "' " +
                            base + "/incoming/",
                        &out, 60);
  EXPECT_EQ(status, 0) << out;
  EXPECT_TRUE(harness::ReadFile(copy + "/tree/incoming/note.bin") == upload);
  // Appending goes through APPE.
  harness::WriteFile(dir / "more.bin", "more");
  status = harness::Run("curl -sS --max-time 30 -u demo:demo --append -T '" + (dir / "more.bin") +
                            "' " + base + "/incoming/note.bin",
                        &out, 60);
  EXPECT_EQ(status, 0) << out;
  EXPECT_TRUE(harness::ReadFile(copy + "/tree/incoming/note.bin") == upload + "more");
  EXPECT_EQ(server.proc.Stop(10), 0);
}
