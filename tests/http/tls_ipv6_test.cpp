// mirt over TLS and over IPv6 beyond the clients' sessions (clients_test.cpp
// runs those encrypted and on ::1 too): clients that break the handshake,
// which may cost the server nothing but their own connection, faults of
// the TLS keys, and a dual-stack listener.
#include <gtest/gtest.h>

#include <string>

#include "mirt_fixture.h"

using mirt_test::MirtTest;

namespace {

class MirtTls : public MirtTest {
 protected:
  unsigned tlsPort = harness::FreePort();

  bool StartTls(const std::string &more = "") {
    if (!Start(TlsKeys(tlsPort) + more)) return false;
    return harness::WaitFor([&] { return harness::PortListening(tlsPort); }, 10);
  }
  std::string Https(const std::string &path) {
    return "https://127.0.0.1:" + std::to_string(tlsPort) + path;
  }
  int Run(const std::string &cmd, std::string *out) { return harness::Run(cmd, out, 60); }
};

TEST_F(MirtTls, BrokenHandshakesCostOnlyTheirOwnConnection) {
  Put("f.txt", "still served");
  ASSERT_TRUE(StartTls("Timeout=3\n"));
  harness::Conn silent, half, garbage;
  ASSERT_TRUE(silent.Connect(tlsPort));
  ASSERT_TRUE(half.Connect(tlsPort));
  ASSERT_TRUE(garbage.Connect(tlsPort));
  // Plain HTTP where the ClientHello belongs.
  garbage.Send("GET / HTTP/1.0\r\n\r\n");
  // The start of a hello record that promises more than ever comes.
  half.Send(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11));
  EXPECT_TRUE(garbage.Closed(10));

  std::string out;
  EXPECT_EQ(Run("curl -sS -k --max-time 20 " + Https("/f.txt"), &out), 0) << out;
  EXPECT_EQ(out, "still served");
  EXPECT_EQ(Get("/f.txt").body, "still served");
  // The stalled ones end when their time is up.
  EXPECT_TRUE(silent.Closed(15));
  EXPECT_TRUE(half.Closed(15));
  EXPECT_TRUE(server.proc.Running());
}

TEST_F(MirtTls, ConfigurationFaultsAreNamed) {
  harness::WriteFile(home / "mirt.ini",
                     Ini("TLSPort=" + std::to_string(tlsPort) + "\nTLSCertificate=" +
                         (home / "missing.pem") + "\nTLSKey=" + (home / "missing.pem") + "\n"));
  harness::Process p;
  ASSERT_TRUE(p.Start({harness::Bin("mirt")}, home.path()));
  EXPECT_NE(p.Wait(10), -1000);
  EXPECT_NE(p.Stderr().find("Cannot load the certificate " + (home / "missing.pem") +
                            ": No such file or directory\n"),
            std::string::npos)
      << p.Stderr();

  harness::WriteFile(home / "mirt.ini", Ini("TLSPort=" + std::to_string(tlsPort) + "\n"));
  harness::Process q;
  ASSERT_TRUE(q.Start({harness::Bin("mirt")}, home.path()));
  EXPECT_NE(q.Wait(10), -1000);
  EXPECT_NE(q.Stderr().find("TLSCertificate"), std::string::npos) << q.Stderr();

  // The files may be named before the port: they are still found.
  harness::WriteFile(home / "mirt.ini",
                     Ini("TLSCertificate=" + (home / "missing.pem") + "\nTLSKey=" +
                         (home / "missing.pem") + "\nTLSPort=" + std::to_string(tlsPort) + "\n"));
  harness::Process r;
  ASSERT_TRUE(r.Start({harness::Bin("mirt")}, home.path()));
  EXPECT_NE(r.Wait(10), -1000);
  EXPECT_NE(r.Stderr().find("Cannot load the certificate"), std::string::npos) << r.Stderr();

  // A file of the wrong kind, and a key of another certificate.
  std::string keys = TlsKeys(tlsPort);
  harness::WriteFile(home / "mirt.ini",
                     Ini("TLSPort=" + std::to_string(tlsPort) + "\nTLSCertificate=" +
                         (home / "demo-key.pem") + "\nTLSKey=" + (home / "demo-key.pem") + "\n"));
  harness::Process s;
  ASSERT_TRUE(s.Start({harness::Bin("mirt")}, home.path()));
  EXPECT_NE(s.Wait(10), -1000);
  EXPECT_NE(s.Stderr().find("Cannot load the certificate " + (home / "demo-key.pem") +
                            ": not a PEM certificate\n"),
            std::string::npos)
      << s.Stderr();
}

class MirtIpv6 : public MirtTest {};

TEST_F(MirtIpv6, DualStackListenerServesBothFamiliesAndLogsFullAddresses) {
  if (!harness::Ipv6Loopback()) GTEST_SKIP() << "no ::1 on this machine";
  Put("f.txt", "over both");
  Put("dir/index.htm", "<p>index</p>");
  // ExternIP=AUTO: redirects name the listening address, bracketed.
  ASSERT_TRUE(Start("Address=::\nExternIP=AUTO\n"));
  std::string url6 = "http://[::1]:" + std::to_string(port);
  std::string out;
  EXPECT_EQ(harness::Run("curl -sS -g --max-time 20 " + url6 + "/f.txt", &out, 60), 0) << out;
  EXPECT_EQ(out, "over both");
  harness::TempDir local;
  EXPECT_EQ(harness::Run("cd '" + local.path() + "' && wget -q -T 20 -t 1 -O got " + url6 +
                             "/f.txt",
                         &out, 60),
            0)
      << out;
  EXPECT_EQ(harness::ReadFile(local / "got"), "over both");
  EXPECT_EQ(Get("/f.txt").body, "over both");  // over IPv4
  EXPECT_EQ(harness::Run("curl -sS -g -D - -o /dev/null --max-time 20 " + url6 + "/dir", &out, 60),
            0);
  EXPECT_NE(out.find("Location: http://[::]:" + std::to_string(port) + "/dir/\r\n"),
            std::string::npos)
      << out;
  ASSERT_EQ(Stop(), 0);
  std::string log = Log();
  EXPECT_NE(log.find("::1 ["), std::string::npos) << log;
  EXPECT_NE(log.find("127.0.0.1 ["), std::string::npos) << log;
}

}  // namespace
