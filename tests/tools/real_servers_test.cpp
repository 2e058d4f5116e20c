// The tools against the real servers: client talking to zolf, probe
// talking to mirt, and rekkon reading the log directory mirt wrote.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"
#include "tool_run.h"

namespace {

const std::string kClientHead =
    "Enter server IP address or q to quit program.\n: "
    "Enter server port.\n: "
    "Connected to server.\n"
    "Enter QUIT on a single line to close connection and exit program.\n: "
    "Enter FTP command and arguments.\n";

bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

// zolf in a temporary directory with one account, demo/demo, that may use
// PASV and LIST.
class ToolsRealZolf : public ::testing::Test {
 protected:
  harness::TempDir dir;
  harness::Server server;
  unsigned port = harness::FreePort();
  unsigned dataPort = harness::ListenPortsFor(port) + 40;

  void SetUp() override {
    if (!harness::Exists(harness::Bin("zolf"))) GTEST_SKIP() << "zolf is not built";
    harness::MakeDirs(dir / "accounts");
    harness::MakeDirs(dir / "root");
    harness::WriteFile(dir / "root/a.txt", "a file\n");
    harness::WriteFile(dir / "zolf.ini",
                       "; tools test\nPort=" + std::to_string(port) +
                           "\nDataPort=" + std::to_string(dataPort) +
                           "\nMaxUsers=4\nTimeoutTime=30\nAddress=127.0.0.1\nExternIP=127.0.0.1\n" +
                           Extra());
    harness::WriteFile(dir / "accounts/demo.ini",
                       "; account\nPassWord=demo\nAllowIPAddress=ALL\nCloseIfIdle=no\n"
                       "RootDirectory=" + dir / "root" +
                           "\nDiskQuota=0\nAddCommand=PASV\nAddCommand=LIST\nAddCommand=RETR\n"
                           "AddCommand=STOR\n");
    ASSERT_TRUE(server.Start(harness::Bin("zolf"), {}, dir.path(), port));
  }
  std::string Dial() const { return "127.0.0.1\n" + std::to_string(port) + "\n"; }
  virtual std::string Extra() { return ""; }
};

// The demo certificate made into dir; the keys that name it.
std::string TlsKeys(const std::string &dir) {
  std::string out;
  EXPECT_EQ(harness::Run("sh '" + std::string(SOURCE_DIR) + "/scripts/demo-certificate.sh' '" +
                             dir + "'",
                         &out, 30),
            0)
      << out;
  return "TLSCertificate=" + dir + "/demo-cert.pem\nTLSKey=" + dir + "/demo-key.pem\n";
}

class ToolsRealZolfTls : public ToolsRealZolf {
  std::string Extra() override { return "RequireTLS=1\n" + TlsKeys(dir.path()); }
};

// -t encrypts the control connection and, with PROT P, the data
// connections the client opens itself for a download and an upload.
TEST_F(ToolsRealZolfTls, ClientWithTlsDownloadsAndUploads) {
  harness::TempDir local;
  harness::WriteFile(local / "up.bin", std::string(100000, '\x7f'));
  harness::Process p;
  ASSERT_TRUE(p.Start({harness::Bin("client"), "-t", "-k", "127.0.0.1", std::to_string(port)},
                      local.path(), true));
  ToolResult r = FinishTool(&p, "USER demo\nPASS demo\nGET a.txt\nput up.bin\nquit\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Has(r.out, "ftp> PROT P\n>200 ")) << r.out;
  EXPECT_TRUE(Has(r.out, ">230 Welcome!\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "(7 bytes saved to a.txt)\n>226 ")) << r.out;
  EXPECT_TRUE(Has(r.out, "(100000 bytes sent from up.bin)\n>226 ")) << r.out;
  EXPECT_EQ(harness::ReadFile(local / "a.txt"), "a file\n");
  EXPECT_EQ(harness::ReadFile(dir / "root/up.bin"), harness::ReadFile(local / "up.bin"));
}

TEST_F(ToolsRealZolf, ClientLogsInAndQuitEndsTheDialogue) {
  ToolResult r = RunTool("client", Dial() + "USER demo\nPASS demo\nNOOP\nQUIT\n", dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kClientHead + ">220 Ready.\n<>331 User name okay, need password.\n"
                                 "<>230 Welcome!\n<>200 Zzzzz...\n<>221 Goodbye!\n");
}

TEST_F(ToolsRealZolf, LowerCaseQuitEndsTheDialogue) {
  ToolResult r = RunTool("client", Dial() + "USER demo\nPASS demo\nquit\nNOOP\n", dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kClientHead + ">220 Ready.\n<>331 User name okay, need password.\n"
                                 "<>230 Welcome!\n<>221 Goodbye!\n");
}

TEST_F(ToolsRealZolf, PasvPromptsForTheDataConnection) {
  harness::Process proc;
  ASSERT_TRUE(StartTool(&proc, "client", dir.path()));
  proc.WriteStdin(Dial() + "USER demo\nPASS demo\nPASV\n");
  const std::string ask = "Creating data connection.\nEnter server IP address.\n: ";
  ASSERT_TRUE(harness::WaitFor([&] {
    std::string out = proc.Stdout();
    return Has(out, ask) || Has(out, "230 Welcome!\r\n<>5");
  }));
  std::string out = proc.Stdout();
  if (!Has(out, ask)) {
    FinishTool(&proc, "QUIT\n");
    GTEST_SKIP() << "zolf refuses PASV: " << out.substr(out.rfind('>'));
  }
  // Read the address and port off the 227 line, as a user does.
  unsigned h1, h2, h3, h4, p1, p2;
  size_t at = out.find(">227 Entering Passive Mode (");
  ASSERT_NE(at, std::string::npos) << out;
  ASSERT_EQ(sscanf(out.c_str() + at, ">227 Entering Passive Mode (%u,%u,%u,%u,%u,%u)", &h1, &h2,
                   &h3, &h4, &p1, &p2),
            6);
  EXPECT_GE(p1 * 256 + p2, dataPort);  // a port of DataPort..DataPort+MaxUsers
  EXPECT_LE(p1 * 256 + p2, dataPort + 4);
  std::string address = std::to_string(h1) + "." + std::to_string(h2) + "." +
                        std::to_string(h3) + "." + std::to_string(h4);
  ToolResult r = FinishTool(&proc, address + "\n" + std::to_string(p1 * 256 + p2) + "\nQUIT\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Has(r.out, ").\n" + ask + "Enter server port.\n: Connected to server.\n<")) << r.out;
}

TEST_F(ToolsRealZolf, ClientShowsWhatTheDataConnectionBrings) {
  std::string binary("\x89PNG\r\n\x1a\n", 8);
  while (binary.size() < 3000) binary += std::string(1, '\0') + "data";
  binary.resize(3000);
  harness::WriteFile(dir / "root/b.bin", binary);
  // The other ports of the passive range are held here, so the server's
  // PASV can only take DataPort itself; the address and port are typed as
  // a user reads them off the 227 line.
  std::vector<int> held;
  for (unsigned p = dataPort + 1; p <= dataPort + 4; p++) {
    int fd = harness::HoldLoopbackPort(p);
    ASSERT_GE(fd, 0) << p;
    held.push_back(fd);
  }
  std::string data = "127.0.0.1\n" + std::to_string(dataPort) + "\n";
  ToolResult r = RunTool("client",
                         Dial() + "USER demo\nPASS demo\nPASV\n" + data + "LIST\nPASV\n" + data +
                             "RETR a.txt\nPASV\n" + data + "RETR b.bin\nQUIT\n",
                         dir.path());
  EXPECT_EQ(r.status, 0) << r.out;
  // The listing as text (its CR LF line ends shown as line ends), then
  // the transfer's final reply.
  size_t list = r.out.find("<>150 ");
  ASSERT_NE(list, std::string::npos) << r.out;
  size_t entry = r.out.find(" a.txt\n", list);
  size_t count = r.out.find(" bytes on the data connection)\n>226 ", list);
  EXPECT_NE(entry, std::string::npos) << r.out;
  EXPECT_NE(count, std::string::npos) << r.out;
  EXPECT_LT(entry, count);
  EXPECT_EQ(r.out.find('\r'), std::string::npos) << r.out;
  EXPECT_TRUE(Has(r.out, "\na file\n(7 bytes on the data connection)\n>226 ")) << r.out;
  EXPECT_TRUE(Has(r.out, "\n(3000 bytes on the data connection, binary: not shown)\n>226 "))
      << r.out;
  EXPECT_FALSE(Has(r.out, "PNG")) << r.out;
  EXPECT_TRUE(Has(r.out, "<>221 Goodbye!\n")) << r.out;
  for (int fd : held) close(fd);
}

// mirt in a temporary directory serving a small site, logging to logs/ in
// a ring of three files of three lines.
class ToolsRealMirt : public ::testing::Test {
 protected:
  harness::TempDir home, site;
  harness::Server server;
  unsigned port = harness::FreePort();
  unsigned tlsPort = harness::FreePort();
  std::string big;

  void SetUp() override {
    if (!harness::Exists(harness::Bin("mirt"))) GTEST_SKIP() << "mirt is not built";
    harness::MakeDirs(home / "logs");
    harness::MakeDirs(home / "err");
    for (int i = 0; big.size() < 2000; i++) big += "line " + std::to_string(i) + " of big.txt\n";
    harness::WriteFile(site / "big.txt", big);
    harness::WriteFile(site / "index.htm", "<p>hello</p>\n");
    harness::WriteFile(site / "private.txt", "secret\n");
    std::string p = std::to_string(port);
    harness::WriteFile(home / "mirt.ini",
                       "; tools test\nPort=" + p + "\nAddress=127.0.0.1\n"
                       "ExternIP=http://127.0.0.1:" + p + "\nTimeout=30\nMaxConnections=20\n"
                       "ExtendedMessages=1\nDirectoryListing=0\nShowProtectedFiles=0\n"
                       "AddType=.htm;text/html\nAddType=.txt;text/plain\nAddIndex=index.htm\n"
                       "AddVirtual=/;" + site.path() + "\n"
                       "LogRotation=3\nLogMaxEntries=3\nLogMaxAge=24\nLogDir=logs\n"
                       "AddUser=demo;demo\nAddForbidden=private;demo\n" +
                           TlsKeys(home.path()) + "TLSPort=" + std::to_string(tlsPort) + "\n" +
                           Extra());
    ASSERT_TRUE(server.Start(harness::Bin("mirt"), {}, home.path(), port));
  }

  virtual std::string Extra() { return ""; }

  // Runs probe and returns what came back, pieces joined; checks that the
  // output is made of counted pieces of at most 511 bytes.
  std::string Probe(const std::string &method, const std::string &range,
                    const std::string &path, size_t *pieceCount = nullptr) {
    ToolResult r = RunTool("probe",
                           "127.0.0.1\n" + std::to_string(port) + "\n" + method + "\n" + range +
                               "\n" + path + "\n",
                           home.path());
    EXPECT_EQ(r.status, 0) << r.out;
    std::string request = method + " " + path + " HTTP/1.0\r\nHost: 127.0.0.1:" +
                          std::to_string(port) + "\r\n" +
                          (range == "x" ? "" : "Range: bytes=" + range + "\r\n") + "\r\n";
    std::string head = "Connected to server.\nSending:\n" + request +
                       std::to_string(request.size()) + " B sent to server.\n\nBuffer sent.\n";
    size_t at = r.out.find(head);
    const std::string end = "\nConnection closed by server.\n";
    if (at == std::string::npos || r.out.size() < end.size() ||
        r.out.compare(r.out.size() - end.size(), end.size(), end) != 0) {
      ADD_FAILURE() << r.out;
      return "";
    }
    std::string rest = r.out.substr(at + head.size(), r.out.size() - end.size() - at - head.size());
    std::vector<std::string> parts;
    EXPECT_TRUE(SplitPieces(rest, &parts)) << rest;
    std::string joined;
    for (auto &piece : parts) {
      EXPECT_LE(piece.size(), 511u);
      joined += piece;
    }
    size_t pieces = parts.size();
    if (pieceCount) *pieceCount = pieces;
    return joined;
  }
};

TEST_F(ToolsRealMirt, ProbeRequestsAndRekkonSummarisesTheLogMirtWrote) {
  size_t pieces = 0;
  std::string whole = Probe("GET", "x", "/big.txt", &pieces);
  EXPECT_EQ(whole.substr(0, 17), "HTTP/1.0 200 Ok\r\n");
  ASSERT_NE(whole.find("\r\n\r\n"), std::string::npos);
  EXPECT_EQ(whole.substr(whole.find("\r\n\r\n") + 4), big);
  EXPECT_GE(pieces, (big.size() + 510) / 511);

  std::string part = Probe("GET", "0-9", "/big.txt");
  EXPECT_TRUE(Has(part, " 206 ")) << part;
  EXPECT_EQ(part.substr(part.find("\r\n\r\n") + 4), big.substr(0, 10));

  std::string head = Probe("HEAD", "x", "/");
  EXPECT_TRUE(Has(head, "HTTP/1.0 200")) << head;
  EXPECT_EQ(head.size(), head.find("\r\n\r\n") + 4);  // headers only

  // A path that does not exist.
  EXPECT_TRUE(Has(Probe("GET", "x", "/missing.txt"), "HTTP/1.0 404 "));
  {
    // A client that begins a head and goes, and a request line with no
    // blank.
    harness::Conn c;
    ASSERT_TRUE(c.Connect(port));
    c.Send("GET /a");
    c.Close();
    ASSERT_TRUE(c.Connect(port));
    c.Send("GET\r\n\r\n");
    c.ReadAll();
  }
  // Six lines: log0001.log gets two, log0002.log three, log0003.log one.
  // mirt writes the line when a connection ends; wait for the last one,
  // then stop it so that its buffered lines reach the files.
  EXPECT_TRUE(harness::WaitFor([&] { return harness::Exists(home / "logs/log0003.log"); }));
  server.proc.Stop();

  std::string out;
  int status = harness::Run(harness::Bin("rekkon") + " '" + home / "logs" + "' summary.txt errors.txt", &out);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "Looking for Mirt HTTP server generated log files.\nNo more files to be found.\n");
  EXPECT_EQ(harness::ReadFile(home / "logs/errors.txt"), "");
  std::string s = harness::ReadFile(home / "logs/summary.txt");
  EXPECT_TRUE(Has(s, "Files read: 3\n  log0001.log: 2 lines, 0 rejected\n"
                     "  log0002.log: 3 lines, 0 rejected\n  log0003.log: 1 lines, 0 rejected\n"
                     "Lines read: 6\nLines rejected: 0\n")) << s;
  EXPECT_TRUE(Has(s, "Requests: 6\n")) << s;
  EXPECT_TRUE(Has(s, "     200            2 ")) << s;
  EXPECT_TRUE(Has(s, "     206            1 ")) << s;
  EXPECT_TRUE(Has(s, "     404            1 ")) << s;
  EXPECT_TRUE(Has(s, "     400            1 ")) << s;
  EXPECT_TRUE(Has(s, "     408            1               0\n")) << s;
  EXPECT_TRUE(Has(s, "             2 ")) << s;
  EXPECT_TRUE(Has(s, "  /big.txt\n")) << s;
  EXPECT_TRUE(Has(s, "  /index.htm\n")) << s;
  EXPECT_TRUE(Has(s, "             6 ")) << s;  // all from one client
  EXPECT_TRUE(Has(s, "  127.0.0.1\n")) << s;
  EXPECT_FALSE(Has(s, "First request: none")) << s;
}

// One HTTP/1.1 request over https with Basic credentials from the
// command line; the demo certificate passes only with -k.
TEST_F(ToolsRealMirt, ProbeOverHttpsWithCredentials) {
  std::string url = " https://127.0.0.1:" + std::to_string(tlsPort) + "/private.txt";
  // The server is known to listen on its plain port; the TLS port may open
  // a moment later.
  ASSERT_TRUE(harness::WaitFor([&] {
    harness::Conn c;
    return c.Connect(tlsPort);
  }));
  std::string out;
  EXPECT_EQ(harness::Run(harness::Bin("probe") + " -k -u demo:demo" + url + " </dev/null", &out),
            0);
  EXPECT_TRUE(Has(out, "\nHTTP/1.") && Has(out, " 200 ")) << out;
  EXPECT_TRUE(Has(out, "\r\n\r\nsecret\n")) << out;
  EXPECT_TRUE(Has(out, "\nConnection closed by server.\n")) << out;
  EXPECT_EQ(harness::Run(harness::Bin("probe") + " -k" + url + " </dev/null", &out), 0);
  EXPECT_TRUE(Has(out, " 401 ")) << out;
  EXPECT_EQ(harness::Run(harness::Bin("probe") + url + " </dev/null", &out), 1);
  EXPECT_TRUE(Has(out, "TLS handshake failed: certificate: ")) << out;
}

class ToolsRealMirtCombined : public ToolsRealMirt {
  std::string Extra() override { return "LogFormat=combined\n"; }
};

// mirt's combined log, its first file compressed as a rotation leaves it
// and the second read from standard input: agents classified, queries kept
// under their path, the refused path listed, the figures in JSON.
TEST_F(ToolsRealMirtCombined, RekkonReadsRotatedAndPipedCombinedLogs) {
  const std::string url = " 'http://127.0.0.1:" + std::to_string(port);
  const char *const requests[] = {
      "-H 'User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:121.0) Gecko/20100101 Firefox/121.0'"
      "' /big.txt?part=1'",
      "-H 'User-Agent: Mozilla/5.0 (Windows NT 10.0) AppleWebKit/537.36 Chrome/120.0 "
      "Safari/537.36'' /big.txt?part=2'",
      "-H 'User-Agent: Mozilla/5.0 (compatible; Googlebot/2.1)'' /private.txt'",
      "-H 'User-Agent: curl/8.5.0'' /big.txt?part=1'"};
  std::string out;
  for (const char *r : requests) {
    std::string args = r;
    size_t at = args.find("'' ");
    args = args.substr(0, at + 1) + url + args.substr(at + 3);
    ASSERT_EQ(harness::Run(harness::Bin("probe") + " " + args + " </dev/null", &out), 0) << out;
  }
  ASSERT_TRUE(harness::WaitFor([&] { return harness::Exists(home / "logs/log0002.log"); }));
  server.proc.Stop();
  ASSERT_EQ(harness::Run("gzip '" + home / "logs/log0001.log" + "'", &out), 0) << out;
  int status = harness::Run("cd '" + home.path() + "' && " + harness::Bin("rekkon") +
                                " --json - logs/log0001.log.gz - < logs/log0002.log",
                            &out);
  EXPECT_EQ(status, 0) << out;
  EXPECT_TRUE(Has(out, "\"requests\": 4,\n")) << out;
  EXPECT_TRUE(Has(out, "{\"name\": \"/big.txt?part=1\", \"requests\": 2")) << out;
  std::string s = harness::ReadFile(home / "summary.txt");
  EXPECT_TRUE(Has(s, "Files read: 2\n  logs/log0001.log.gz: 2 lines, 0 rejected\n"
                     "  (standard input): 2 lines, 0 rejected\n")) << s;
  EXPECT_TRUE(Has(s, "Unique visitors: 4\n")) << s;
  EXPECT_TRUE(Has(s, "  /big.txt\n             2            ")) << s;
  EXPECT_TRUE(Has(s, "    ?part=1\n")) << s;
  EXPECT_TRUE(Has(s, "Paths refused, 401 and 403 (top 1 of 1):\n")) << s;
  EXPECT_TRUE(Has(s, "  Firefox\n") && Has(s, "  Chrome\n") && Has(s, "  Windows\n")) << s;
  EXPECT_TRUE(Has(s, "  Googlebot\n") && Has(s, "  curl\n")) << s;
}

}  // namespace
