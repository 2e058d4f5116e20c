// The commands clients expect beyond the first design (FEAT, OPTS, EPSV,
// EPRT, NLST, MLSD, MLST) and the command stream as clients really send
// it (Telnet bytes, urgent data), byte for byte against the running
// server.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "data_fixture.h"

namespace {

const char kGrants[] = "PASV PORT LIST RETR CWD";
const char k150List[] = "150 Transferring directory listing.\r\n";
const char k226[] = "226 Transfer complete.\r\n";
const char k550[] = "550 Requested action not taken.\r\n";

}  // namespace

TEST(FtpExtensions, FeaturesAreAnsweredBeforeAndAfterLogin) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  ASSERT_TRUE(z.Start());
  harness::Conn c;
  ASSERT_TRUE(z.Connect(c));
  const std::string features =
      "211-Features:\r\n EPRT\r\n EPSV\r\n MDTM\r\n MFMT\r\n MLST type*;size*;modify*;UNIX.mode*;\r\n"
      " REST STREAM\r\n SIZE\r\n UTF8\r\n211 End\r\n";
  ASSERT_TRUE(c.Send("FEAT\r\n"));
  EXPECT_EQ(c.ReadN(features.size()), features);
  EXPECT_EQ(Cmd(c, "OPTS UTF8 ON"), "200 Always in UTF8 mode.\r\n");
  EXPECT_EQ(Cmd(c, "OPTS MODE Z"), "501 Option not understood.\r\n");
  EXPECT_EQ(Cmd(c, "USER u"), "331 User name okay, need password.\r\n");
  EXPECT_EQ(Cmd(c, "PASS pw"), "230 Welcome!\r\n");
  ASSERT_TRUE(c.Send("feat\r\n"));
  EXPECT_EQ(c.ReadN(features.size()), features);
  EXPECT_EQ(Cmd(c, "NOOP"), "200 Zzzzz...\r\n");
}

TEST(FtpExtensions, ExtendedPassiveAndActiveModes) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  harness::WriteFile(z.Root() + "/f", Pattern(70000));
  unsigned dataPort = 0;
  ASSERT_TRUE(StartWithDataPort(z, "MaxUsers=4\nTimeoutTime=2\n", &dataPort));
  harness::Conn c;
  ASSERT_TRUE(z.Login(c, "u", "pw"));
  // A port of the passive range, named alone.
  unsigned passive = ExtendedPort(Cmd(c, "EPSV"));
  EXPECT_TRUE(passive >= dataPort && passive <= dataPort + 4) << passive;
  Transfer t = ExtendedDownload(c, "RETR f");
  EXPECT_EQ(t.end, k226);
  EXPECT_TRUE(t.data == Pattern(70000));
  EXPECT_EQ(Cmd(c, "EPSV 2"), "522 Network protocol not supported, use (1,2)\r\n");

  // EPRT to the client's own address connects there.
  ActiveListener listener;
  std::string port = listener.PortArgument();  // 127,0,0,1,p1,p2
  size_t comma = port.rfind(',');
  size_t before = port.rfind(',', comma - 1);
  unsigned number = (unsigned)std::stoul(port.substr(before + 1)) * 256 +
                    (unsigned)std::stoul(port.substr(comma + 1));
  EXPECT_EQ(Cmd(c, "EPRT |1|127.0.0.1|" + std::to_string(number) + "|"), "200 Command okay.\r\n");
  EXPECT_EQ(Cmd(c, "RETR f"), "150 Starting transfer.\r\n");
  EXPECT_TRUE(listener.AcceptAndReadAll() == Pattern(70000));
  EXPECT_EQ(c.ReadLine(), k226);
  // The checks of PORT: another host, an unusable port; and what EPRT
  // cannot serve.
  EXPECT_EQ(Cmd(c, "EPRT |1|127.0.0.2|" + std::to_string(number) + "|"),
            "501 PORT with conflicting IP.\r\n");
  EXPECT_EQ(Cmd(c, "EPRT !1!127.0.0.1!70000!"), "550 Bad PORT arguments.\r\n");
  EXPECT_EQ(Cmd(c, "EPRT |2|::1|5000|"), "522 Network protocol not supported, use (1,2)\r\n");
  EXPECT_EQ(Cmd(c, "EPRT |1|127.0.0.1|"), "501 Syntax error in parameters or arguments.\r\n");
  // After EPSV ALL only EPSV sets up a data connection.
  EXPECT_EQ(Cmd(c, "EPSV ALL"), "200 EPSV ALL command successful.\r\n");
  for (const char *refused : {"PASV", "PORT 127,0,0,1,4,1", "EPRT |1|127.0.0.1|1025|"})
    EXPECT_EQ(Cmd(c, refused), "503 Bad sequence of commands.\r\n") << refused;
  t = ExtendedDownload(c, "RETR f");
  EXPECT_EQ(t.end, k226);
}

TEST(FtpExtensions, NamesFactsAndPatterns) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  harness::MakeDirs(z.Root() + "/pub/empty");
  harness::WriteFile(z.Root() + "/pub/a.txt", "12345");
  harness::WriteFile(z.Root() + "/pub/b.bin", "1");
  harness::WriteFile(z.Root() + "/pub/.hidden", "1");
  ASSERT_EQ(chmod((z.Root() + "/pub/a.txt").c_str(), 0604), 0);
  struct timespec times[2] = {{1741183627, 0}, {1741183627, 0}};  // 2025-03-05 14:07:07
  ASSERT_EQ(utimensat(AT_FDCWD, (z.Root() + "/pub/a.txt").c_str(), times, 0), 0);
  ASSERT_TRUE(z.Start());
  harness::Conn c;
  ASSERT_TRUE(z.Login(c, "u", "pw"));
  auto sorted = [](const std::string &data) {
    std::multiset<std::string> lines;
    for (size_t at = 0; at < data.size();) {
      size_t end = data.find("\r\n", at);
      if (end == std::string::npos) end = data.size() - 2;
      lines.insert(data.substr(at, end - at));
      at = end + 2;
    }
    return lines;
  };
  // Names only; a file by the name given (ftplib's session covers the
  // plain directory cases).
  Transfer t = ExtendedDownload(c, "NLST -l pub/a.txt");
  EXPECT_EQ(t.start, k150List);
  EXPECT_EQ(t.data, "pub/a.txt\r\n");
  EXPECT_EQ(t.end, k226);
  // A pattern in the last part keeps the names that match it.
  t = ExtendedDownload(c, "NLST pub/*.txt");
  EXPECT_EQ(t.data, "a.txt\r\n");
  EXPECT_EQ(Cmd(c, "CWD pub"), "250 Requested action okay, completed.\r\n");
  t = ExtendedDownload(c, "NLST *");
  EXPECT_EQ(sorted(t.data), (std::multiset<std::string>{"a.txt", "b.bin", "empty"}));

  t = ExtendedDownload(c, "MLSD");
  std::multiset<std::string> facts = sorted(t.data);
  EXPECT_EQ(facts.count("type=file;size=5;modify=20250305140707;UNIX.mode=0604; a.txt"), 1u)
      << t.data;
  bool sawSelf = false;
  for (const std::string &line : facts)
    sawSelf |= line.rfind("type=cdir;", 0) == 0 && line.compare(line.size() - 2, 2, " .") == 0;
  EXPECT_TRUE(sawSelf) << t.data;
  EXPECT_EQ(facts.size(), 5u) << t.data;  // no line for ".."

  ASSERT_TRUE(c.Send("MLST a.txt\r\n"));
  EXPECT_EQ(c.ReadLine(), "250-Listing a.txt\r\n");
  EXPECT_EQ(c.ReadLine(), " type=file;size=5;modify=20250305140707;UNIX.mode=0604; a.txt\r\n");
  EXPECT_EQ(c.ReadLine(), "250 End\r\n");

  // Nothing there, or outside the root: 550 and no data connection.
  for (const char *bad : {"NLST missing", "MLSD a.txt", "MLSD ../", "NLST ../*"}) {
    harness::Conn data;
    std::string reply = Cmd(c, "EPSV");
    ASSERT_TRUE(data.Connect(ExtendedPort(reply))) << reply;
    EXPECT_EQ(Cmd(c, bad), k550) << bad;
    EXPECT_TRUE(data.Closed()) << bad;
  }
  EXPECT_EQ(Cmd(c, "MLST missing"), k550);
}

TEST(FtpExtensions, TelnetBytesAndUrgentAborLeaveTheStreamInStep) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  harness::MakeDirs(z.Root() + "/d\xff" "x");
  for (int i = 0; i < 300; i++) harness::WriteFile(z.Root() + "/f" + std::to_string(i), "x");
  // One buffer per second: the listing below is still running at the ABOR.
  ASSERT_TRUE(z.Start("MaxUsers=4\nTimeoutTime=2\nMaximumBandwidth=1\n"));
  harness::Conn c;
  ASSERT_TRUE(z.Login(c, "u", "pw"));
  // IAC IP and IAC DM vanish, split over two segments or not; IAC IAC is
  // one 0xFF byte of the line.
  ASSERT_TRUE(c.Send("\xff\xf4\xff"));
  ASSERT_TRUE(c.Send("\xf2NO\xff\xf1OP\r\n"));
  EXPECT_EQ(c.ReadLine(), "200 Zzzzz...\r\n");
  EXPECT_EQ(Cmd(c, "CWD d\xff\xffx"), "250 Requested action okay, completed.\r\n");
  EXPECT_EQ(Cmd(c, "PWD"), "257 \"/d\xffx/\" is current directory.\r\n");
  EXPECT_EQ(Cmd(c, "CWD /"), "250 Requested action okay, completed.\r\n");
  // ABOR whose last byte is urgent, as clients send it, in the middle of a
  // listing: the cut listing reported (426), the abort (226), the data
  // connection closed, the next command its own reply.
  harness::Conn data;
  ASSERT_TRUE(OpenPassive(c, data));
  EXPECT_EQ(Cmd(c, "LIST"), k150List);
  EXPECT_FALSE(data.ReadN(100).empty());
  ASSERT_TRUE(c.Send("\xff\xf4\xff"));
  ASSERT_EQ(send(c.fd(), "\xf2", 1, MSG_OOB), 1);
  ASSERT_TRUE(c.Send("ABOR\r"));
  ASSERT_EQ(send(c.fd(), "\n", 1, MSG_OOB), 1);
  EXPECT_EQ(c.ReadLine(), "426 Connection closed; transfer aborted.\r\n");
  EXPECT_EQ(c.ReadLine(), "226 Abort successful.\r\n");
  EXPECT_LT(data.ReadAll(5).size(), 300u * 60);
  EXPECT_EQ(Cmd(c, "NOOP"), "200 Zzzzz...\r\n");
}
