// Encrypted sessions: curl, lftp and Python's ftplib against zolf with a
// certificate, the RequireTLS refusal, and clients that break the
// handshake, which may cost the server nothing but their own connection.
#include <gtest/gtest.h>

#include "data_fixture.h"

namespace {

const char kGrants[] = "PASV PORT RETR STOR APPE LIST TYPE CWD CDUP SIZE";

std::string Url(const Zolf &z, const std::string &path) {
  return "ftp://127.0.0.1:" + std::to_string(z.port) + path;
}

// Writes a self-signed certificate into the server's directory and returns
// the keys that name it.
std::string Certificate(const Zolf &z) {
  std::string out;
  int rc = harness::Run("sh '" + std::string(SOURCE_DIR) + "/scripts/demo-certificate.sh' '" +
                            z.dir.path() + "'",
                        &out, 30);
  EXPECT_EQ(rc, 0) << out;
  return "TLSCertificate=" + (z.dir / "demo-cert.pem") + "\nTLSKey=" + (z.dir / "demo-key.pem") +
         "\n";
}

std::string Curl(const std::string &args, int *status) {
  std::string out;
  *status = harness::Run("curl -sS -v --max-time 30 --ssl-reqd -k " + args, &out, 60);
  return out;
}

}  // namespace

TEST(FtpTls, CurlDownloadsListsUploadsAndResumesOverTls) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  std::string content = Pattern(3 * 1024 * 1024 + 11);
  harness::WriteFile(z.Root() + "/f.bin", content);
  ASSERT_TRUE(z.Start("MaxUsers=4\nTimeoutTime=5\n" + Certificate(z)));
  harness::TempDir local;
  int status = 0;
  std::string log = Curl("-u u:pw -o '" + (local / "got") + "' " + Url(z, "/f.bin"), &status);
  EXPECT_EQ(status, 0) << log << z.Stderr();
  EXPECT_NE(log.find("> AUTH TLS"), std::string::npos) << log;
  EXPECT_NE(log.find("< 234 "), std::string::npos) << log;
  EXPECT_NE(log.find("> PROT P"), std::string::npos) << log;
  EXPECT_NE(log.find("< 200 Protection level set to Private."), std::string::npos) << log;
  EXPECT_TRUE(harness::ReadFile(local / "got") == content);

  // Resume: the first part is there, the rest is fetched with REST.
  harness::WriteFile(local / "part", content.substr(0, 1000000));
  log = Curl("-u u:pw -C - -o '" + (local / "part") + "' " + Url(z, "/f.bin"), &status);
  EXPECT_EQ(status, 0) << log;
  EXPECT_NE(log.find("> REST 1000000"), std::string::npos) << log;
  EXPECT_TRUE(harness::ReadFile(local / "part") == content);

  std::string upload = Pattern(1024 * 1024 + 3, 9);
  harness::WriteFile(local / "up.bin", upload);
  log = Curl("-u u:pw -T '" + (local / "up.bin") + "' " + Url(z, "/"), &status);
  EXPECT_EQ(status, 0) << log;
  EXPECT_TRUE(harness::ReadFile(z.Root() + "/up.bin") == upload);

  std::string listing;
  status = harness::Run("curl -sS --max-time 30 --ssl-reqd -k -u u:pw " + Url(z, "/"), &listing,
                        60);
  EXPECT_EQ(status, 0) << listing;
  EXPECT_NE(listing.find(" f.bin\n"), std::string::npos) << listing;
  EXPECT_NE(listing.find(" up.bin\n"), std::string::npos) << listing;
}

TEST(FtpTls, LftpWithForcedTlsAndFtplibWithProtectedData) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  std::string content = Pattern(2 * 1024 * 1024 + 5);
  harness::WriteFile(z.Root() + "/f", content);
  ASSERT_TRUE(z.Start("MaxUsers=4\nTimeoutTime=5\nRequireTLS=1\n" + Certificate(z)));
  harness::TempDir local;
  std::string upload = Pattern(700001, 4);
  harness::WriteFile(local / "src", upload);

  // lftp resumes the control connection's TLS session on every data
  // connection, and refuses to go on in clear text.
  std::string out;
  int status = harness::Run(
      "cd '" + local.path() + "' && lftp -c 'set ftp:ssl-force true; "
      "set ftp:ssl-protect-data true; set ssl:verify-certificate no; "
      "set net:max-retries 1; set net:timeout 20; "
      "open -u u,pw ftp://127.0.0.1:" + std::to_string(z.port) + "; "
      "get f -o lftp-got; put src -o lftp-up; cls -l'",
      &out, 90);
  EXPECT_EQ(status, 0) << out << z.Stderr();
  EXPECT_TRUE(harness::ReadFile(local / "lftp-got") == content);
  EXPECT_TRUE(harness::ReadFile(z.Root() + "/lftp-up") == upload);
  EXPECT_NE(out.find("lftp-up"), std::string::npos) << out;

  status = harness::Run("python3 " + std::string(SOURCE_DIR) + "/tests/ftp/ftplib_tls.py 127.0.0.1 " +
                            std::to_string(z.port) + " u pw '" + local.path() + "'",
                        &out, 60);
  EXPECT_EQ(status, 0) << out << z.Stderr();
  EXPECT_NE(out.find("234 "), std::string::npos) << out;
  EXPECT_NE(out.find("200 Protection level set to Private."), std::string::npos) << out;
  EXPECT_EQ(out.find("cipher TLSv1.3"), out.find("cipher TLS")) << out;
  EXPECT_TRUE(harness::ReadFile(local / "got") == content);
  EXPECT_TRUE(harness::ReadFile(z.Root() + "/up") == upload);
}

TEST(FtpTls, RequireTlsFeaturesAndTheOrderOfTheCommands) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  ASSERT_TRUE(z.Start("MaxUsers=4\nTimeoutTime=5\nRequireTLS=1\n" + Certificate(z)));
  harness::Conn c;
  ASSERT_TRUE(z.Connect(c));
  std::string feat = Cmd(c, "FEAT");
  while (feat.find("211 End") == std::string::npos) {
    std::string more = c.ReadLine();
    if (more.empty()) break;
    feat += more;
  }
  EXPECT_NE(feat.find(" AUTH TLS\r\n"), std::string::npos) << feat;
  EXPECT_NE(feat.find(" PBSZ\r\n"), std::string::npos) << feat;
  EXPECT_NE(feat.find(" PROT\r\n"), std::string::npos) << feat;
  EXPECT_EQ(Cmd(c, "USER u"), "530 TLS required.\r\n");
  EXPECT_EQ(Cmd(c, "PBSZ 0"), "503 AUTH TLS first.\r\n");
  EXPECT_EQ(Cmd(c, "AUTH SSL"), "504 Security mechanism not understood.\r\n");
  // Anything sent behind AUTH TLS in clear text is no command: it is
  // dropped with the clear-text part of the session, and the bytes where
  // the handshake belongs end the connection.
  c.Send("AUTH TLS\r\nUSER u\r\n");
  EXPECT_EQ(c.ReadLine(), "234 Proceed with TLS negotiation.\r\n");
  EXPECT_EQ(c.ReadLine(1), "");  // no answer to the smuggled USER
  c.Send("PASS pw\r\n");
  EXPECT_TRUE(c.Closed(10));

  // Without a certificate nothing of it is offered.
  Zolf plain;
  plain.SimpleAccount("u", "pw", kGrants);
  ASSERT_TRUE(plain.Start());
  harness::Conn p;
  ASSERT_TRUE(plain.Connect(p));
  EXPECT_EQ(Cmd(p, "AUTH TLS"), "502 Command not implemented.\r\n");
  feat = Cmd(p, "FEAT");
  while (feat.find("211 End") == std::string::npos) {
    std::string more = p.ReadLine();
    if (more.empty()) break;
    feat += more;
  }
  EXPECT_EQ(feat.find("AUTH"), std::string::npos) << feat;
}

TEST(FtpTls, BrokenHandshakesCostOnlyTheirOwnConnection) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  harness::WriteFile(z.Root() + "/f", "still served");
  ASSERT_TRUE(z.Start("MaxUsers=6\nMaxPerAddress=6\nTimeoutTime=3\n" + Certificate(z)));
  // One stops after AUTH TLS, one sends half a ClientHello, one sends a
  // page of garbage where the hello belongs.
  harness::Conn silent, half, garbage;
  ASSERT_TRUE(z.Connect(silent));
  ASSERT_TRUE(z.Connect(half));
  ASSERT_TRUE(z.Connect(garbage));
  EXPECT_EQ(Cmd(silent, "AUTH TLS"), "234 Proceed with TLS negotiation.\r\n");
  EXPECT_EQ(Cmd(half, "AUTH TLS"), "234 Proceed with TLS negotiation.\r\n");
  EXPECT_EQ(Cmd(garbage, "AUTH TLS"), "234 Proceed with TLS negotiation.\r\n");
  // The start of a TLS 1.2 record that promises more than ever comes.
  half.Send(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11));
  garbage.Send(std::string(4096, 'G'));
  EXPECT_TRUE(garbage.Closed(10));

  // Meanwhile a proper client is served in full.
  std::string out;
  int status = harness::Run("curl -sS --max-time 20 --ssl-reqd -k -u u:pw " + Url(z, "/f"), &out,
                            40);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out, "still served");
  // The stalled ones are ended by the idle check, not left for ever.
  EXPECT_TRUE(silent.Closed(15));
  EXPECT_TRUE(half.Closed(15));
  EXPECT_TRUE(z.server.proc.Running());
}
