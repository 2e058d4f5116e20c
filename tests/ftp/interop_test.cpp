// Real clients against the running server: curl, Python's ftplib, and the
// bundled demo account as a new user would try it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "data_fixture.h"

namespace {

const char kGrants[] = "PASV PORT RETR STOR APPE LIST TYPE CWD CDUP SIZE";

std::string Url(const Zolf &z, const std::string &path) {
  return "ftp://127.0.0.1:" + std::to_string(z.port) + path;
}

std::string Curl(const std::string &args, int *status) {
  std::string out;
  *status = harness::Run("curl -sS -v --max-time 30 " + args, &out, 60);
  return out;
}

}  // namespace

TEST(FtpInterop, CurlDownloadsListsAndUploads) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  std::string content = Pattern(3 * 1024 * 1024 + 11);
  harness::MakeDirs(z.Root() + "/sub");
  harness::WriteFile(z.Root() + "/sub/f.bin", content);
  ASSERT_EQ(chmod((z.Root() + "/sub/f.bin").c_str(), 0640), 0);
  ASSERT_TRUE(z.Start());
  harness::TempDir local;
  int status = 0;
  std::string log = Curl("-u u:pw -o '" + (local / "got") + "' " + Url(z, "/sub/f.bin"), &status);
  EXPECT_EQ(status, 0) << log;
  EXPECT_NE(log.find("> EPSV"), std::string::npos) << log;
  EXPECT_NE(log.find("< 229 Entering Extended Passive Mode (|||"), std::string::npos) << log;
  EXPECT_TRUE(harness::ReadFile(local / "got") == content);

  // Active mode.
  log = Curl("-u u:pw -P 127.0.0.1 -o '" + (local / "active") + "' " + Url(z, "/sub/f.bin"),
             &status);
  EXPECT_EQ(status, 0) << log;
  EXPECT_NE(log.find("> EPRT |1|127.0.0.1|"), std::string::npos) << log;
  EXPECT_TRUE(harness::ReadFile(local / "active") == content);

  std::string upload = Pattern(1024 * 1024 + 3, 9);
  harness::WriteFile(local / "up.bin", upload);
  log = Curl("-u u:pw -T '" + (local / "up.bin") + "' " + Url(z, "/sub/"), &status);
  EXPECT_EQ(status, 0) << log;
  EXPECT_TRUE(harness::ReadFile(z.Root() + "/sub/up.bin") == upload);

  // curl fetches listings in ASCII mode and ends its lines with LF alone.
  std::string listing;
  status = harness::Run("curl -sS --max-time 30 -u u:pw " + Url(z, "/sub/"), &listing, 60);
  EXPECT_EQ(status, 0) << listing;
  EXPECT_NE(listing.find("-rw-r-----   1 owner    group         3145739 "), std::string::npos)
      << listing;
  EXPECT_NE(listing.find(" f.bin\n"), std::string::npos) << listing;
  EXPECT_NE(listing.find(" up.bin\n"), std::string::npos) << listing;
}

TEST(FtpInterop, PythonFtplibListsDownloadsAndUploads) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  std::string content = Pattern(2 * 1024 * 1024 + 5);
  harness::WriteFile(z.Root() + "/f", content);
  ASSERT_EQ(chmod((z.Root() + "/f").c_str(), 0640), 0);
  harness::MakeDirs(z.Root() + "/dir");
  ASSERT_TRUE(z.Start());
  harness::TempDir local;
  std::string upload = Pattern(700001, 4);
  harness::WriteFile(local / "src", upload);
  std::string out;
  int status = harness::Run("python3 " + std::string(SOURCE_DIR) +
                                "/tests/ftp/ftplib_transfers.py " + std::to_string(z.port) +
                                " u pw '" + local.path() + "'",
                            &out, 60);
  EXPECT_EQ(status, 0) << out << z.Stderr();
  EXPECT_NE(out.find("220 Ready.\n230 Welcome!\n226 Transfer complete.\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("list -rw-r-----   1 owner    group         2097157 "), std::string::npos)
      << out;
  EXPECT_NE(out.find("list drwx"), std::string::npos)
      << out;
  EXPECT_NE(out.find("226 Transfer complete.\n226 Transfer complete.\n221 Goodbye!\n"),
            std::string::npos)
      << out;
  EXPECT_TRUE(harness::ReadFile(local / "got") == content);
  EXPECT_TRUE(harness::ReadFile(z.Root() + "/up") == upload);
}

TEST(FtpInterop, DemoAccountListsTheTreeAndTakesUploads) {
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
