// The command channel in pieces: cutting lines, one reply at a time,
// partial sends, and the session list.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>

#include "session_fixture.h"

TEST(FtpCommandChannel, LineIsCutIntoWordAndArgument) {
  TestSession s;
  s.Receive("USER bob\r\n");
  ASSERT_EQ(ParseFTPstring(s.req), 0);
  EXPECT_STREQ(s.req->cmnd.space->command, "USER");
  EXPECT_STREQ(s.req->cmnd.space->argument, "bob");
  std::regex entry(">[A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9:]{8} "
                   "\\[10\\.0\\.0\\.7       \\] : USER bob\n");
  EXPECT_TRUE(std::regex_match(s.LogText(), entry)) << s.LogText();

  // Leading blanks of an argument are kept; a blank before CR LF gives an
  // empty argument; the word keeps its case.
  s.Receive("stor   a b\r\n");
  ASSERT_EQ(ParseFTPstring(s.req), 0);
  EXPECT_STREQ(s.req->cmnd.space->command, "stor");
  EXPECT_STREQ(s.req->cmnd.space->argument, "  a b");
  s.Receive("NOOP \r\n");
  ASSERT_EQ(ParseFTPstring(s.req), 0);
  EXPECT_STREQ(s.req->cmnd.space->argument, "");
  EXPECT_NE(s.LogText().find("NOOP \n"), std::string::npos);
}

TEST(FtpCommandChannel, ArgumentNeverComesFromTheNextLine) {
  TestSession s;
  s.Receive("STOR\r\nX name\r\n");
  ASSERT_EQ(ParseFTPstring(s.req), 0);
  EXPECT_STREQ(s.req->cmnd.space->command, "STOR");
  EXPECT_STREQ(s.req->cmnd.space->argument, "");
  EXPECT_EQ(s.Reply(), "");
}

TEST(FtpCommandChannel, IncompleteLinesWaitAndBadLinesAreRefused) {
  TestSession s;
  s.Receive("NOO");
  EXPECT_EQ(ParseFTPstring(s.req), -1);
  EXPECT_EQ(s.req->cmnd.length, 3);  // kept for the next receive
  EXPECT_EQ(s.Reply(), "");

  const std::string refused = "500 Syntax error, command unrecognized.\r\n";
  for (const char *bad : {"NOOP\n", "ABCDEFGH\r\n", "ABCDEFGHIJ x\r\n"}) {
    s.Receive(bad);
    EXPECT_EQ(ParseFTPstring(s.req), -1) << bad;
    EXPECT_EQ(s.Reply(), refused) << bad;
  }
  s.Receive(std::string(255, 'x'));
  EXPECT_EQ(ParseFTPstring(s.req), -1);
  EXPECT_EQ(s.Reply(), refused);

  s.Receive("\r\n");  // an empty line: an empty word
  ASSERT_EQ(ParseFTPstring(s.req), 0);
  EXPECT_STREQ(s.req->cmnd.space->command, "");
  EXPECT_EQ(TranslateCommand(s.req->cmnd.space->command), -1);
}

TEST(FtpCommandChannel, LogEntriesStayOneLineAndHidePasswords) {
  TestSession s;
  s.Receive("PASS secret\r\n");
  ASSERT_EQ(ParseFTPstring(s.req), 0);
  EXPECT_STREQ(s.req->cmnd.space->argument, "secret");
  s.Receive("site pass hidden\r\n");
  ASSERT_EQ(ParseFTPstring(s.req), 0);
  s.Receive("NOOP a\tb\x1b[2J\r\n");
  ASSERT_EQ(ParseFTPstring(s.req), 0);
  std::string log = s.LogText();
  EXPECT_EQ(log.find("secret"), std::string::npos);
  EXPECT_EQ(log.find("hidden"), std::string::npos);
  EXPECT_NE(log.find(": PASS ****\n"), std::string::npos);
  EXPECT_NE(log.find(": site ****\n"), std::string::npos);
  EXPECT_NE(log.find(": NOOP a\\x09b\\x1b[2J\n"), std::string::npos) << log;
}

TEST(FtpCommandChannel, TranslateCommandIgnoresCase) {
  EXPECT_EQ(TranslateCommand("noop"), kNOOP);
  EXPECT_EQ(TranslateCommand("Site"), kSITE);
  EXPECT_EQ(TranslateCommand("RNTO"), 21);
  EXPECT_EQ(TranslateCommand("MDTM"), 23);
  EXPECT_EQ(TranslateCommand("nlst"), kNLST);
  EXPECT_EQ(PermissionOf(kNLST), kLIST);
  EXPECT_EQ(PermissionOf(kEPRT), kPORT);
  EXPECT_EQ(PermissionOf(kFEAT), -1);
  EXPECT_EQ(TranslateCommand("xpwd"), kPWD);  // the X forms are aliases
  EXPECT_EQ(TranslateCommand("XMKD"), kMKD);
  EXPECT_EQ(PermissionOf(kMFMT), kSTOR);
  EXPECT_EQ(TranslateCommand("RMD_RECURSIVE"), -1);
  EXPECT_EQ(TranslateCommand("NOOPX"), -1);
}

TEST(FtpCommandChannel, OneReplyAtATime) {
  TestSession s;
  RecvFTPstring(s.req);
  EXPECT_EQ(SendFTPstring(s.req, "200 first\r\n"), 0);
  EXPECT_EQ(SendFTPstring(s.req, "200 second\r\n"), -1);
  EXPECT_EQ(s.Reply(), "200 first\r\n");
  EXPECT_EQ(s.LogText().find("second"), std::string::npos);  // dropped, not logged

  RecvFTPstring(s.req);
  EXPECT_EQ(SendFTPstring(s.req, std::string(256, 'x').c_str()), -1);
  EXPECT_EQ(s.req->cmnd.length, 0);
  EXPECT_EQ(s.req->cmnd.state, kCmndEmpty);
  EXPECT_EQ(SendFTPstring(s.req, std::string(255, 'y').c_str()), 0);
}

TEST(FtpCommandChannel, ReplyGoesOutInPiecesThenTheBufferReceives) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  fcntl(sv[0], F_SETFL, O_NONBLOCK);
  // A client that does not read: the socket is full before the reply.
  size_t filler = 0;
  char block[512] = {0};
  for (ssize_t n; (n = send(sv[0], block, sizeof block, MSG_DONTWAIT)) > 0;) filler += (size_t)n;
  TestSession s;
  s.req->cmnd.io.fd = sv[0];
  std::string reply(250, 'r');
  reply.back() = '\n';
  ASSERT_EQ(SendFTPstring(s.req, reply.c_str()), 0);
  EXPECT_EQ(OnWriteCmnd(s.req), 0);  // would block: the reply stays queued
  EXPECT_EQ(s.req->cmnd.state, kCmndQueued);
  EXPECT_EQ(s.req->cmnd.length, 251);  // the line ends in CR LF on the wire
  // The client reads slowly; the reply leaves in whatever pieces fit.
  std::string got;
  for (int round = 0; round < 100000 && s.req->cmnd.state == kCmndQueued; round++) {
    char buf[100];
    ssize_t n = recv(sv[1], buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) got.append(buf, (size_t)n);
    EXPECT_EQ(OnWriteCmnd(s.req), 0);
  }
  for (ssize_t n; (n = recv(sv[1], block, sizeof block, MSG_DONTWAIT)) > 0;)
    got.append(block, (size_t)n);
  ASSERT_EQ(got.size(), filler + 251);
  EXPECT_EQ(got.substr(filler), reply.substr(0, 249) + "\r\n");
  EXPECT_EQ(s.req->cmnd.state, kCmndReceiving);
  EXPECT_EQ(s.req->cmnd.length, 0);
  EXPECT_EQ(s.req->bytesSent, 251u);

  // Receiving: bytes are counted; a closed peer ends the session.
  ASSERT_EQ(write(sv[1], "NOOP\r\n", 6), 6);
  EXPECT_EQ(OnReadCmnd(s.req), 0);
  EXPECT_EQ(s.req->cmnd.length, 6);
  EXPECT_EQ(s.req->bytesReceived, 6u);
  EXPECT_EQ(OnReadCmnd(s.req), 0);  // would block: go on
  close(sv[1]);
  EXPECT_EQ(OnReadCmnd(s.req), -1);
  // A reply to a vanished client is an error, not a retry forever.
  RecvFTPstring(s.req);
  ASSERT_EQ(SendFTPstring(s.req, "200 x\r\n"), 0);
  EXPECT_EQ(OnWriteCmnd(s.req), -1);
}

TEST(FtpSessions, NewSessionDefaults) {
  TestSession s("10.0.0.7");
  Request *r = s.req;
  EXPECT_TRUE(r->xfer.passive);
  EXPECT_EQ(r->binaryMode, '1');
  EXPECT_EQ(r->login.cwd, "/");
  EXPECT_STREQ(r->clientAddress.text, "10.0.0.7");
  EXPECT_EQ(r->cmnd.state, kCmndEmpty);
  EXPECT_EQ(r->xfer.state, kDataIdle);
  EXPECT_EQ(r->xfer.listenSocket, -1);
  EXPECT_EQ(r->xfer.io.fd, -1);
  EXPECT_EQ(r->xfer.file, -1);
  EXPECT_EQ(r->login.closeIfIdle, '0');
  std::string allowed;
  for (int code = 0; code < kCommandCount; code++)
    if (r->login.permissions[code] == '1') allowed += std::to_string(code) + " ";
  EXPECT_EQ(allowed, "1 3 4 5 6 8 16 19 ");  // SYST QUIT PWD USER PASS ABOR NOOP REST
}

TEST(FtpSessions, SessionsAreListedOldestFirst) {
  TestSession s;
  Request *second = AddRequest(-1, &s.server, "127.0.0.1");
  Request *third = AddRequest(-1, &s.server, "127.0.0.1");
  EXPECT_EQ(s.req->next, second);
  EXPECT_EQ(s.server.users, 3u);
  // Closing a middle session links its neighbours.
  EXPECT_EQ(CloseRequest(second), third);
  EXPECT_EQ(s.req->next, third);
  EXPECT_EQ(s.server.users, 2u);
  Request *fourth = AddRequest(-1, &s.server, "127.0.0.1");
  EXPECT_EQ(third->next, fourth);  // appended at the tail
  // Closing the head makes its successor the head; the last returns null.
  Request *head = s.req;
  s.req = third;
  EXPECT_EQ(CloseRequest(head), third);
  EXPECT_EQ(s.server.requests, third);
  EXPECT_EQ(CloseRequest(fourth), nullptr);
  EXPECT_EQ(s.server.users, 1u);
  EXPECT_EQ(CloseRequest(nullptr), nullptr);
  EXPECT_EQ(GetNextRequest(nullptr), nullptr);
}

TEST(FtpSessions, ReadinessTests) {
  TestSession s;
  Request *r = s.req;
  EXPECT_EQ(IfCmndSend(r), -1);
  EXPECT_EQ(IfCmndRecv(r), 0);  // empty buffer: receive
  EXPECT_EQ(r->cmnd.state, kCmndReceiving);
  ASSERT_EQ(SendFTPstring(r, "220 Ready.\r\n"), 0);
  EXPECT_EQ(IfCmndSend(r), 0);
  EXPECT_EQ(IfCmndRecv(r), -1);
  EXPECT_EQ(r->cmnd.state, kCmndQueued);

  EXPECT_EQ(IfDataSend(r), -1);
  EXPECT_EQ(IfAcceptXfer(r), -1);
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  r->xfer.io.fd = sv[0];
  r->xfer.state = kDataReceiving;
  EXPECT_EQ(IfDataRecv(r), 0);
  r->xfer.length = kDataBufferSize;  // full: not read again until written out
  EXPECT_EQ(IfDataRecv(r), -1);
  r->xfer.state = kDataSending;
  EXPECT_EQ(IfDataSend(r), 0);
  r->xfer.listenSocket = sv[1];
  EXPECT_EQ(IfAcceptXfer(r), -1);  // a data connection is already up
  r->xfer.passive = false;
  CloseDataConnection(r);
  EXPECT_EQ(r->xfer.listenSocket, -1);
  EXPECT_EQ(r->xfer.io.fd, -1);
  EXPECT_TRUE(r->xfer.passive);
  CloseDataBuffer(r);
  EXPECT_EQ(r->xfer.length, 0);
  EXPECT_EQ(r->xfer.state, kDataIdle);
  CloseDataConnection(r);  // already closed: nothing happens
}
