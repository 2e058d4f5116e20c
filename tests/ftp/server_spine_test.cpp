// The running server as a client meets it: greeting, command lines,
// connection limits, the command log and the way the process starts and
// ends.
#include <gtest/gtest.h>

#include <regex>

#include "zolf_fixture.h"

using harness::Conn;

TEST(FtpSpine, GreetsAndSaysGoodbyeOnQuit) {
  Zolf z;
  z.SimpleAccount("anna", "");
  ASSERT_TRUE(z.Start());
  Conn c;
  ASSERT_TRUE(z.Connect(c));
  EXPECT_EQ(Cmd(c, "USER anna"), "230 Welcome!\r\n");
  EXPECT_EQ(Cmd(c, "quit"), "221 Goodbye!\r\n");  // words are not case-sensitive
  EXPECT_TRUE(c.Closed());
  // Before login QUIT says goodbye as well.
  Conn d;
  ASSERT_TRUE(z.Connect(d));
  EXPECT_EQ(Cmd(d, "QUIT"), "221 Goodbye!\r\n");
  EXPECT_TRUE(d.Closed());
  // Banners reach standard output while the server runs, not at its end.
  EXPECT_TRUE(harness::WaitFor([&] {
    return z.server.proc.Stdout().find("Waiting for connections...\n") != std::string::npos;
  }));
  std::string out = z.server.proc.Stdout();
  EXPECT_NE(out.find("ZOLF/1.7.1 by Orvald is running on port " + std::to_string(z.port) +
                     " [127.0.0.1].\n"),
            std::string::npos);
}

TEST(FtpSpine, CommandLinesAreCutAtCrLf) {
  Zolf z;
  ASSERT_TRUE(z.Start());
  Conn c;
  ASSERT_TRUE(z.Connect(c));
  // Unknown words are answered and the session stays.
  EXPECT_EQ(Cmd(c, "XYZ"), "502 Command not implemented.\r\n");
  EXPECT_EQ(Cmd(c, ""), "502 Command not implemented.\r\n");
  EXPECT_EQ(Cmd(c, "ABCDEFG"), "502 Command not implemented.\r\n");
  // A command word of eight letters, a line ended by a bare LF: refused.
  EXPECT_EQ(Cmd(c, "ABCDEFGH"), "500 Syntax error, command unrecognized.\r\n");
  ASSERT_TRUE(c.Send("XYZ\n"));
  EXPECT_EQ(c.ReadLine(), "500 Syntax error, command unrecognized.\r\n");
  // A line that fills the buffer without ever ending is refused instead of
  // leaving the session deaf; its tail, sent apart, is no command of its
  // own: the next reply is the next line's.
  ASSERT_TRUE(c.Send(std::string(255, 'A')));
  EXPECT_EQ(c.ReadLine(), "500 Syntax error, command unrecognized.\r\n");
  ASSERT_TRUE(c.Send("XYZ\r\n"));
  ASSERT_TRUE(c.Send(std::string(300, 'A') + "QUIT\r\nXYZ\r\n"));
  EXPECT_EQ(c.ReadLine(), "500 Syntax error, command unrecognized.\r\n");
  EXPECT_EQ(c.ReadLine(), "502 Command not implemented.\r\n");
}

TEST(FtpSpine, LineSplitOverTwoSegmentsRunsWhenComplete) {
  Zolf z;
  ASSERT_TRUE(z.Start());
  Conn c;
  ASSERT_TRUE(z.Connect(c));
  ASSERT_TRUE(c.Send("XY"));
  // The first part has been read once a client that connects afterwards
  // is greeted: the loop has passed over the session since.
  Conn later;
  ASSERT_TRUE(z.Connect(later, "127.0.0.2"));
  ASSERT_TRUE(c.Send("Z\r\n"));
  EXPECT_EQ(c.ReadLine(), "502 Command not implemented.\r\n");
  // A line that had not ended yet was no fault to report.
  EXPECT_EQ(z.Stderr().find("Could not parse FTP string."), std::string::npos);
}

TEST(FtpSpine, CommandsSentTogetherRunInOrder) {
  Zolf z;
  ASSERT_TRUE(z.Start());
  Conn c;
  ASSERT_TRUE(z.Connect(c));
  // A bad line among them is refused on its own; the part of a line that
  // follows in the same segment waits for its end.
  ASSERT_TRUE(c.Send("XYZ\r\nBAD\nABC\r\nQU"));
  EXPECT_EQ(c.ReadLine(), "502 Command not implemented.\r\n");
  EXPECT_EQ(c.ReadLine(), "500 Syntax error, command unrecognized.\r\n");
  EXPECT_EQ(c.ReadLine(), "502 Command not implemented.\r\n");
  ASSERT_TRUE(c.Send("IT\r\n"));
  EXPECT_EQ(c.ReadLine(), "221 Goodbye!\r\n");
  EXPECT_TRUE(c.Closed());
}

TEST(FtpSpine, SecondClientWaitsWhileTheServerIsFull) {
  Zolf z;
  ASSERT_TRUE(z.Start("MaxUsers=1\nTimeoutTime=20\n"));
  Conn first, second;
  ASSERT_TRUE(z.Connect(first));
  ASSERT_TRUE(second.Connect(z.port));  // queued by the kernel
  EXPECT_EQ(second.ReadLine(1.5), "");  // no greeting while full
  EXPECT_EQ(Cmd(first, "XYZ"), "502 Command not implemented.\r\n");
  EXPECT_EQ(Cmd(first, "QUIT"), "221 Goodbye!\r\n");
  EXPECT_EQ(second.ReadLine(5), "220 Ready.\r\n");
  EXPECT_EQ(Cmd(second, "XYZ"), "502 Command not implemented.\r\n");
}

TEST(FtpSpine, ClientThatResetsDoesNotHurtTheServer) {
  Zolf z;
  ASSERT_TRUE(z.Start());
  for (int i = 0; i < 3; i++) {
    Conn c;
    ASSERT_TRUE(c.Connect(z.port));
    c.Send("XYZ\r\n");
    c.Reset();
  }
  Conn c;
  ASSERT_TRUE(z.Connect(c));
  EXPECT_EQ(Cmd(c, "XYZ"), "502 Command not implemented.\r\n");
  EXPECT_TRUE(z.server.proc.Running());
}

TEST(FtpSpine, CommandLogHoldsEveryLineAndReply) {
  Zolf z;
  z.SimpleAccount("bob", "secret");
  ASSERT_TRUE(z.Start("MaxUsers=2\nLogRotation=1\nLogDir=.\n"));
  Conn c;
  ASSERT_TRUE(z.Connect(c));
  EXPECT_EQ(Cmd(c, "xyz some argument"), "502 Command not implemented.\r\n");
  // The argument is taken from its own line only.
  ASSERT_TRUE(c.Send("ABC\r\nDEF x\r\n"));
  EXPECT_EQ(c.ReadLine(), "502 Command not implemented.\r\n");
  EXPECT_EQ(c.ReadLine(), "502 Command not implemented.\r\n");
  EXPECT_EQ(Cmd(c, "XYZ "), "502 Command not implemented.\r\n");
  EXPECT_EQ(Cmd(c, "USER bob"), "331 User name okay, need password.\r\n");
  EXPECT_EQ(Cmd(c, "PASS secret"), "230 Welcome!\r\n");
  EXPECT_EQ(Cmd(c, "QUIT"), "221 Goodbye!\r\n");
  ASSERT_TRUE(c.Closed());
  // Entries reach the file while the server runs.
  ASSERT_TRUE(harness::WaitFor([&] { return z.Log().find("221 Goodbye!") != std::string::npos; }));
  std::string stamp = "[A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}";
  std::string who = " \\[127\\.0\\.0\\.1      \\] : ";
  std::string bob = " \\[127\\.0\\.0\\.1      \\] bob: ";
  std::regex expected("<" + stamp + who + "220 Ready\\.\n" +
                      ">" + stamp + who + "xyz some argument\n" +
                      "<" + stamp + who + "502 Command not implemented\\.\n" +
                      ">" + stamp + who + "ABC\n" +
                      "<" + stamp + who + "502 Command not implemented\\.\n" +
                      ">" + stamp + who + "DEF x\n" +
                      "<" + stamp + who + "502 Command not implemented\\.\n" +
                      ">" + stamp + who + "XYZ \n" +
                      "<" + stamp + who + "502 Command not implemented\\.\n" +
                      ">" + stamp + who + "USER bob\n" +
                      "<" + stamp + bob + "331 User name okay, need password\\.\n" +
                      ">" + stamp + bob + "PASS \\*\\*\\*\\*\n" +
                      "<" + stamp + bob + "230 Welcome!\n" +
                      ">" + stamp + bob + "QUIT\n" +
                      "<" + stamp + bob + "221 Goodbye!\n");
  EXPECT_TRUE(std::regex_match(z.Log(), expected)) << z.Log();
}

TEST(FtpSpine, StopsCleanlyOnSigterm) {
  Zolf z;
  ASSERT_TRUE(z.Start("MaxUsers=2\nLogRotation=1\nLogDir=.\n"));
  Conn c;
  ASSERT_TRUE(z.Connect(c));
  EXPECT_EQ(Cmd(c, "XYZ"), "502 Command not implemented.\r\n");
  EXPECT_EQ(z.server.proc.Stop(10), 0);
  EXPECT_EQ(c.ReadLine(), "421 Service closing control connection.\r\n");
  EXPECT_TRUE(c.Closed());
  std::string out = z.server.proc.Stdout();
  EXPECT_NE(out.find("ZOLF/1.7.1 terminated.\n"), std::string::npos) << out;
  EXPECT_NE(z.Log().find("XYZ\n"), std::string::npos);
}

TEST(FtpSpine, RestartedServerBindsItsPortAtOnce) {
  Zolf z;
  ASSERT_TRUE(z.Start());
  {
    Conn c;
    ASSERT_TRUE(z.Connect(c));
    EXPECT_EQ(Cmd(c, "QUIT"), "221 Goodbye!\r\n");
    EXPECT_TRUE(c.Closed());
  }
  ASSERT_EQ(z.server.proc.Stop(10), 0);
  harness::Server again;
  ASSERT_TRUE(again.Start(harness::Bin("zolf"), {}, z.dir.path(), z.port));
  Conn c;
  ASSERT_TRUE(c.Connect(z.port));
  EXPECT_EQ(c.ReadLine(), "220 Ready.\r\n");
}

TEST(FtpSpine, UsageTextAndExitStatus) {
  harness::TempDir dir;
  const std::string usage =
      "ZOLF by Orvald.\nParameters: [-config FILE] [-t] [-v] [--help] [-hash] [-recount NAME]\n"
      "-config FILE : Where FILE is the configuration file to be used\n"
      "-t : Check the configuration and every account file, start nothing\n"
      "-v, --version : Print the name and version\n"
      "--help : Print this text\n"
      "-hash : Read a password and print its hash for PassWord=\n"
      "-recount NAME : Count the bytes account NAME stores afresh from its root\n";
  std::string out, err;
  // An unknown option is no clean start: the usage goes to standard error.
  for (auto args : std::vector<std::vector<std::string>>{
           {"-help"}, {"-config"}, {"-config", "a.ini", "extra"}}) {
    EXPECT_EQ(RunZolf(dir.path(), args, &out, &err), 2);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, usage);
  }
  EXPECT_EQ(RunZolf(dir.path(), {"--help"}, &out, &err), 0);
  EXPECT_EQ(out, usage);
  EXPECT_EQ(RunZolf(dir.path(), {"--version"}, &out, &err), 0);
  EXPECT_EQ(out, "zolf (ZOLF/1.7.1)\n");
}

TEST(FtpSpine, MaxUsersZeroEndsRightAfterTheBanners) {
  Zolf z;
  unsigned dataPort = z.port = harness::FreePort();
  dataPort = harness::ListenPortsFor(z.port);
  // The last -config wins; the default name is not read.
  harness::WriteFile(z.dir / "other.ini", z.Ini("MaxUsers=0\n", dataPort));
  harness::WriteFile(z.dir / "zolf.ini", "garbage\n");
  std::string out, err;
  EXPECT_EQ(RunZolf(z.dir.path(), {"-config", "missing.ini", "-config", "other.ini"}, &out, &err), 0);
  EXPECT_EQ(out, "ZOLF/1.7.1 by Orvald is running on port " + std::to_string(z.port) +
                     " [127.0.0.1].\nData port range is " + std::to_string(dataPort) + " to " +
                     std::to_string(dataPort) +
                     ".\nAllow server action on these ports if you are using passive FTP "
                     "(PASV).\nWaiting for connections...\nZOLF/1.7.1 terminated.\n");
}

TEST(FtpSpine, DefaultConfigurationNameAndMissingFile) {
  harness::TempDir dir;
  std::string out, err;
  EXPECT_EQ(RunZolf(dir.path(), {}, &out, &err), 255);
  EXPECT_EQ(err, "Could not open zolf.ini.\nInitializing server configuration failed!\n");
  EXPECT_EQ(RunZolf(dir.path(), {"-config", "x.ini"}, &out, &err), 255);
  EXPECT_EQ(err, "Could not open x.ini.\nInitializing server configuration failed!\n");
  harness::WriteFile(dir / "zolf.ini", "");  // an empty file cannot be loaded
  EXPECT_EQ(RunZolf(dir.path(), {}, &out, &err), 255);
  EXPECT_EQ(err, "Could not open zolf.ini.\nInitializing server configuration failed!\n");
}
