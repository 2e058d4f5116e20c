// Explicit TLS beyond the clients' sessions (client_sessions_test.cpp runs
// those encrypted too): what RequireTLS refuses and in which order, and
// clients that break the handshake, which may cost the server nothing but
// their own connection.
#include <gtest/gtest.h>

#include "data_fixture.h"

namespace {

const char kGrants[] = "PASV PORT RETR STOR APPE LIST TYPE CWD CDUP SIZE";

std::string Url(const Zolf &z, const std::string &path) {
  return "ftp://127.0.0.1:" + std::to_string(z.port) + path;
}

}  // namespace

TEST(FtpTls, RequireTlsFeaturesAndTheOrderOfTheCommands) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  ASSERT_TRUE(z.Start("MaxUsers=4\nTimeoutTime=5\nRequireTLS=1\n" + z.TlsKeys()));
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
  ASSERT_TRUE(z.Start("MaxUsers=6\nMaxPerAddress=6\nTimeoutTime=3\n" + z.TlsKeys()));
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
