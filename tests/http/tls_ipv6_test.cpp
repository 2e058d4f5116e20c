// mirt over TLS and over IPv6: curl, wget and Python's urllib against the
// real server, and clients that break the handshake, which may cost the
// server nothing but their own connection.
#include <gtest/gtest.h>

#include <string>

#include "mirt_fixture.h"

using mirt_test::Bytes;
using mirt_test::MirtTest;

namespace {

class MirtTls : public MirtTest {
 protected:
  unsigned tlsPort = harness::FreePort();

  // Keys for a self-signed certificate made in the start directory.
  std::string TlsKeys() {
    std::string out;
    int rc = harness::Run("sh '" + std::string(SOURCE_DIR) + "/scripts/demo-certificate.sh' '" +
                              home.path() + "'",
                          &out, 30);
    EXPECT_EQ(rc, 0) << out;
    return "TLSPort=" + std::to_string(tlsPort) + "\nTLSCertificate=" + (home / "demo-cert.pem") +
           "\nTLSKey=" + (home / "demo-key.pem") + "\n";
  }
  bool StartTls(const std::string &more = "") {
    if (!Start(TlsKeys() + more)) return false;
    return harness::WaitFor([&] { return harness::PortListening(tlsPort); }, 10);
  }
  std::string Https(const std::string &path) {
    return "https://127.0.0.1:" + std::to_string(tlsPort) + path;
  }
  int Run(const std::string &cmd, std::string *out) { return harness::Run(cmd, out, 60); }
};

TEST_F(MirtTls, CurlAndUrllibGetWhatPlainClientsGet) {
  std::string big = Bytes(3 * 1024 * 1024 + 17);
  Put("big.bin", big);
  Put("dir/index.htm", "<p>index</p>");
  ASSERT_TRUE(StartTls());
  harness::TempDir local;
  std::string out;
  EXPECT_EQ(Run("curl -sS -k --max-time 30 -o '" + (local / "big") + "' " + Https("/big.bin"), &out),
            0)
      << out;
  EXPECT_TRUE(harness::ReadFile(local / "big") == big);
  EXPECT_EQ(Run("curl -sS -k --max-time 30 -r 1000-1999 " + Https("/big.bin"), &out), 0);
  EXPECT_TRUE(out == big.substr(1000, 1000));
  // ALPN settles on HTTP/1.1; the answer is the same HTTP the plain port
  // gives.
  EXPECT_EQ(Run("curl -sS -k -v --max-time 30 -o /dev/null " + Https("/dir/"), &out), 0) << out;
  EXPECT_NE(out.find("ALPN: server accepted http/1.1"), std::string::npos) << out;
  EXPECT_NE(out.find("< HTTP/1.0 200 Ok"), std::string::npos) << out;
  // Two requests on one encrypted connection: the second is read from
  // where TLS keeps it, not lost behind the first.
  EXPECT_EQ(Run("curl -sS -k -v --max-time 30 " + Https("/dir/index.htm") + " " +
                    Https("/dir/index.htm"),
                &out),
            0)
      << out;
  EXPECT_NE(out.find("Re-using existing connection"), std::string::npos) << out;
  size_t first = out.find("<p>index</p>");
  ASSERT_NE(first, std::string::npos) << out;
  EXPECT_NE(out.find("<p>index</p>", first + 1), std::string::npos) << out;
  // A redirect on the encrypted port stays on it.
  EXPECT_EQ(Run("curl -sS -k -D - -o /dev/null --max-time 30 " + Https("/dir"), &out), 0);
  EXPECT_NE(out.find("Location: https://127.0.0.1:" + std::to_string(tlsPort) + "/dir/\r\n"),
            std::string::npos)
      << out;

  std::string script =
      "import ssl, sys, urllib.request\n"
      "ctx = ssl.create_default_context()\n"
      "ctx.check_hostname = False\n"
      "ctx.verify_mode = ssl.CERT_NONE\n"
      "base = sys.argv[1]\n"
      "open(sys.argv[2], 'wb').write(urllib.request.urlopen(base + '/big.bin', context=ctx, "
      "timeout=20).read())\n"
      "print(urllib.request.urlopen(base + '/dir', context=ctx, timeout=20).read().decode())\n";
  harness::WriteFile(local / "get.py", script);
  EXPECT_EQ(Run("python3 '" + (local / "get.py") + "' https://127.0.0.1:" +
                    std::to_string(tlsPort) + " '" + (local / "py") + "'",
                &out),
            0)
      << out;
  EXPECT_TRUE(harness::ReadFile(local / "py") == big);
  EXPECT_NE(out.find("<p>index</p>"), std::string::npos) << out;

  // The plain port still serves beside it.
  EXPECT_EQ(Get("/dir/").status, 200);
  ASSERT_EQ(Stop(), 0);
  std::string log = Log();
  EXPECT_NE(log.find("] GET /big.bin 200 "), std::string::npos) << log;
  EXPECT_NE(log.find("] GET /big.bin 206 "), std::string::npos) << log;
}

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
  EXPECT_NE(p.Stderr().find("Cannot load the certificate " + (home / "missing.pem")),
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
}

class MirtIpv6 : public MirtTest {};

TEST_F(MirtIpv6, DualStackListenerServesBothFamiliesAndLogsFullAddresses) {
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
