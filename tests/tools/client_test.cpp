// The FTP test client driven through its standard input against a scripted
// server on loopback: the exact prompts, what reaches the server, and how
// the dialogue ends.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "harness.h"
#include "scripted_peer.h"
#include "tool_run.h"

namespace {

const std::string kAsk = "Enter server IP address or q to quit program.\n: ";
const std::string kPort = "Enter server port.\n: ";
const std::string kIntro =
    "Connected to server.\n"
    "Enter QUIT on a single line to close connection and exit program.\n: "
    "Enter FTP command and arguments.\n";
const std::string kData = "Creating data connection.\nEnter server IP address.\n: " + kPort;
const std::string kHead = kAsk + kPort + kIntro;

std::string Dial(unsigned port) { return "127.0.0.1\n" + std::to_string(port) + "\n"; }

TEST(ToolsClient, QuitOrEndOfInputBeforeConnecting) {
  harness::TempDir dir;
  ToolResult r = RunTool("client", "q\n", dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kAsk);
  r = RunTool("client", "", dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kAsk);
  r = RunTool("client", "127.0.0.1\n", dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kAsk + kPort);
}

TEST(ToolsClient, FailedConnectIsReportedAndEndsWithFailure) {
  harness::TempDir dir;
  unsigned closed = harness::FreePort();
  // A port nobody listens on, a port number that would wrap, an address
  // that is no address.
  for (std::string input : {Dial(closed), std::string("127.0.0.1\n65557\n"),
                            std::string("300.1.2.3\n21\n")}) {
    ToolResult r = RunTool("client", input, dir.path());
    EXPECT_EQ(r.status, 1) << input;
    EXPECT_EQ(r.out, kAsk + kPort + "Connect failed.\nNot connected.\n") << input;
  }
}

TEST(ToolsClient, ExchangeShowsFirstReplyLineAndQuitEndsWithoutShowingTheLast) {
  std::string received;
  peer::ScriptedPeer server([&](peer::Socket &s) {
    // Two lines in one send: only the first is shown.
    s.Send("220-Welcome\r\n220 Ready.\n");
    received += s.ReadUntil("\r\n");
    s.Send("200 NOOP ok.\n");
    received += s.ReadUntil("\r\n");
    s.Send("221 Goodbye!\n");
    s.WaitClosed();
  });
  harness::TempDir dir;
  ToolResult r = RunTool("client", Dial(server.port()) + "NOOP\nQUIT\n", dir.path());
  ASSERT_TRUE(server.Join());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kHead + ">220-Welcome\r\n<>200 NOOP ok.\n<");
  EXPECT_EQ(received, "NOOP\r\nQUIT\r\n");
}

TEST(ToolsClient, LineArrivingInALaterReadIsShownInTheNextExchange) {
  harness::Process proc;
  std::string received;
  std::atomic<bool> extraSent{false};
  auto printed = [&](const char *text) {
    return harness::WaitFor([&] { return proc.Stdout().find(text) != std::string::npos; });
  };
  peer::ScriptedPeer server([&](peer::Socket &s) {
    s.Send("220 Ready.\n");
    // Each line is sent once the client has shown the one before, so that
    // every line comes in a read of its own.
    printed("220 Ready.\n<");
    s.Send("999 extra\n");
    extraSent = true;
    received += s.ReadUntil("\r\n");
    printed("999 extra\n<");
    s.Send("200 first\n");
    received += s.ReadUntil("\r\n");
    s.Send("200 second\n");
    received += s.ReadUntil("\r\n");
    s.WaitClosed();
  });
  harness::TempDir dir;
  ASSERT_TRUE(StartTool(&proc, "client", dir.path()));
  proc.WriteStdin(Dial(server.port()));
  ASSERT_TRUE(harness::WaitFor([&] { return extraSent.load(); }));
  ToolResult r = FinishTool(&proc, "NOOP\nNOOP\nQUIT\n");
  ASSERT_TRUE(server.Join());
  EXPECT_EQ(r.status, 0);
  // The reply to the first NOOP is the 999 line that was waiting; each
  // later reply is shown one exchange late.
  EXPECT_EQ(r.out, kHead + ">220 Ready.\n<>999 extra\n<>200 first\n<");
  EXPECT_EQ(received, "NOOP\r\nNOOP\r\nQUIT\r\n");
}

TEST(ToolsClient, PasvAsksForTheDataConnectionOnlyAfterA227Reply) {
  peer::Listener data;
  unsigned closed = harness::FreePort();
  bool dataAccepted = false;
  std::string received;
  peer::ScriptedPeer server([&](peer::Socket &s) {
    s.Send("220 Ready.\n");
    received += s.ReadUntil("\r\n");  // pasv: lower case gets no prompts
    s.Send("227 Entering Passive Mode (127,0,0,1,4,1).\n");
    received += s.ReadUntil("\r\n");  // PASV refused
    s.Send("502 Command not implemented.\n");
    received += s.ReadUntil("\r\n");  // PASV to a closed data port
    s.Send("227 Entering Passive Mode (127,0,0,1,4,2).\n");
    received += s.ReadUntil("\r\n");  // PASV to the data listener
    s.Send("227 Entering Passive Mode (127,0,0,1,4,3).\n");
    int fd = data.Accept(10);
    dataAccepted = fd >= 0;
    peer::Socket dataSocket(fd);
    received += s.ReadUntil("\r\n");
    s.Send("221 Goodbye!\n");
    s.WaitClosed();
  });
  harness::TempDir dir;
  ToolResult r = RunTool("client",
                         Dial(server.port()) + "pasv\nPASV\nPASV\n" + Dial(closed) + "PASV\n" +
                             Dial(data.port()) + "QUIT\n",
                         dir.path());
  ASSERT_TRUE(server.Join());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kHead + ">220 Ready.\n<" +
                       ">227 Entering Passive Mode (127,0,0,1,4,1).\n<" +
                       ">502 Command not implemented.\n<" +
                       ">227 Entering Passive Mode (127,0,0,1,4,2).\n" + kData +
                       "Connect failed.\nNot connected.\n<" +
                       ">227 Entering Passive Mode (127,0,0,1,4,3).\n" + kData +
                       "Connected to server.\n<");
  EXPECT_TRUE(dataAccepted);
  EXPECT_EQ(received, "pasv\r\nPASV\r\nPASV\r\nPASV\r\nQUIT\r\n");
}

TEST(ToolsClient, LowerCaseQuitIsSentButDoesNotEndTheDialogue) {
  std::string received;
  peer::ScriptedPeer server([&](peer::Socket &s) {
    s.Send("220 Ready.\n");
    received += s.ReadUntil("\r\n");
    s.Send("221 Goodbye!\n");
    s.WaitClosed();
  });
  harness::TempDir dir;
  // End of input at the next command prompt ends the program quietly.
  ToolResult r = RunTool("client", Dial(server.port()) + "quit\n", dir.path());
  ASSERT_TRUE(server.Join());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kHead + ">220 Ready.\n<>221 Goodbye!\n<");
  EXPECT_EQ(received, "quit\r\n");
}

TEST(ToolsClient, ServerThatClosesEndsTheDialogueWithItsMessage) {
  peer::ScriptedPeer server([&](peer::Socket &s) {
    s.Send("220 Ready.\n");
    s.ReadUntil("\r\n");
    s.Close();
  });
  harness::TempDir dir;
  ToolResult r = RunTool("client", Dial(server.port()) + "NOOP\nNOOP\n", dir.path());
  ASSERT_TRUE(server.Join());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kHead + ">220 Ready.\n<>\nConnection closed by server.\n");
}

TEST(ToolsClient, ResetConnectionIsASocketErrorNotASignal) {
  peer::ScriptedPeer server([&](peer::Socket &s) { s.Reset(); });
  harness::TempDir dir;
  // The read fails, the dialogue goes on, and the send on the dead socket
  // must neither raise SIGPIPE nor pass for success.
  ToolResult r = RunTool("client", Dial(server.port()) + "NOOP\nQUIT\n", dir.path());
  ASSERT_TRUE(server.Join());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kHead + ">\nError on socket.\n<\nError on socket.\n");
}

TEST(ToolsClient, LongCommandLineIsCutAndItsRestDropped) {
  std::string received;
  peer::ScriptedPeer server([&](peer::Socket &s) {
    s.Send("220 Ready.\n");
    received += s.ReadUntil("\r\n");
    s.Send("500 Too long.\n");
    received += s.ReadUntil("\r\n");
    s.Send("221 Goodbye!\n");
    s.WaitClosed();
  });
  harness::TempDir dir;
  std::string typed(600, 'A');
  typed.replace(501, 4, "QUIT");  // must not come through as a command
  ToolResult r = RunTool("client", Dial(server.port()) + typed + "\nQUIT\n", dir.path());
  ASSERT_TRUE(server.Join());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(received, std::string(501, 'A') + "\r\nQUIT\r\n");
  EXPECT_EQ(r.out, kHead + ">220 Ready.\n<>500 Too long.\n<");
}

TEST(ToolsClient, ReplyLineLongerThanTheBufferDoesNotPassForAClose) {
  std::string received;
  peer::ScriptedPeer server([&](peer::Socket &s) {
    s.Send("220 " + std::string(596, 'x') + "\n");
    received += s.ReadUntil("\r\n");
    s.Send("200 ok\n");
    received += s.ReadUntil("\r\n");
    s.WaitClosed();
  });
  harness::TempDir dir;
  ToolResult r = RunTool("client", Dial(server.port()) + "NOOP\nQUIT\n", dir.path());
  ASSERT_TRUE(server.Join());
  EXPECT_EQ(r.status, 0);
  // 511 bytes fill the reply buffer; the rest of the line is the next
  // exchange's reply.
  EXPECT_EQ(r.out, kHead + ">220 " + std::string(507, 'x') + "<>" + std::string(89, 'x') +
                       "\n<");
  EXPECT_EQ(received, "NOOP\r\nQUIT\r\n");
}

}  // namespace
