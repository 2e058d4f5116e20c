// The frame of DoFTP (known word, permission, login, command sequence) and
// the session commands, run the way the main loop runs them.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include "harness.h"
#include "session_fixture.h"

namespace {

const char k502[] = "502 Command not implemented.\r\n";
const char kDenied[] = "550 Permission denied.\r\n";
const char k332[] = "332 Need account for login.\r\n";

// A session of a server whose accounts/ lies in a temporary directory.
struct Dialogue : TestSession {
  harness::TempDir dir;
  Dialogue() {
    snprintf(server.homeDirectory, sizeof server.homeDirectory, "%s", dir.path().c_str());
    harness::MakeDirs(dir / "accounts");
    harness::MakeDirs(dir / "root");
  }
  void Account(const std::string &name, const std::string &pw, const std::string &extra = "",
               const std::string &quota = "0") {
    harness::WriteFile(dir / ("accounts/" + name + ".ini"),
                       "; account\nPassWord=" + pw + "\nAllowIPAddress=ALL\nCloseIfIdle=no\nAllowFullBandwidth=no\n"
                       "RootDirectory=" + dir.path() + "/root\nDiskQuota=" + quota + "\n" + extra);
  }
  // Logs in as an account granting `grants` (AddCommand lines).
  void LogIn(const std::string &grants = "") {
    Account("u", "", grants);
    ASSERT_EQ(Run("USER u"), "230 Welcome!\r\n");
  }
};

}  // namespace

TEST(FtpLogin, PasswordDialogue) {
  Dialogue d;
  d.Account("bob", "Secret");
  int code = 0;
  EXPECT_EQ(d.Run("USER", &code), "550 Can't process USER without argument.\r\n");
  EXPECT_EQ(code, 550);
  EXPECT_EQ(d.Run("USER bob", &code), "331 User name okay, need password.\r\n");
  EXPECT_EQ(code, 331);
  EXPECT_EQ(d.Run("USER bob"), k502);  // the name cannot change any more
  EXPECT_EQ(d.Run("PASS"), "550 Can't process PASS without argument.\r\n");
  EXPECT_EQ(d.Run("PASS Secret", &code), "230 Welcome!\r\n");
  EXPECT_EQ(code, 230);
  EXPECT_EQ(d.Run("PASS Secret"), k502);
  EXPECT_EQ(d.Run("NOOP"), "200 Zzzzz...\r\n");
}

TEST(FtpLogin, WrongPasswordEndsTheSession) {
  Dialogue d;
  d.Account("bob", "Secret");
  ASSERT_EQ(d.Run("USER bob"), "331 User name okay, need password.\r\n");
  int code = 0;
  EXPECT_EQ(d.Run("PASS secret", &code), "530 Login incorrect.\r\n");  // case matters
  EXPECT_EQ(code, 530);
}

TEST(FtpLogin, AccountWithoutPasswordIsInAtUser) {
  Dialogue d;
  d.Account("anon", "");
  EXPECT_EQ(d.Run("user anon"), "230 Welcome!\r\n");
  EXPECT_EQ(d.Run("PASS x"), k502);
  EXPECT_EQ(d.Run("PWD"), "257 \"/\" is current directory.\r\n");
}

TEST(FtpLogin, QuotaShowsInTheWelcome) {
  Dialogue d;
  d.Account("bob", "pw", "", "500");
  ASSERT_EQ(d.Run("USER bob"), "331 User name okay, need password.\r\n");
  EXPECT_EQ(d.Run("PASS pw"), "230 Welcome! Disk usage is 0 (disk guota is 500 B).\r\n");
}

TEST(FtpLogin, RefusedAccountsLookLikeWrongPasswords) {
  // No account, a refused one: asked for a password like any name, and
  // then refused with the reply of a wrong password, whatever it is.
  Dialogue d;
  int code = 0;
  EXPECT_EQ(d.Run("USER nobody", &code), "331 User name okay, need password.\r\n");
  EXPECT_EQ(code, 331);
  EXPECT_EQ(d.Run("PASS x", &code), "530 Login incorrect.\r\n");
  EXPECT_EQ(code, 530);
  Dialogue e;
  e.Account("bob", "pw", "AddCommand=BOGUS\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(e.Run("USER bob"), "331 User name okay, need password.\r\n");
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(said.rfind("Account bob: ", 0), 0u) << said;
  EXPECT_NE(said.find("/accounts/bob.ini:"), std::string::npos) << said;
  EXPECT_NE(said.find(": AddCommand parameter BOGUS is not valid.\n"), std::string::npos) << said;
  EXPECT_EQ(e.Run("PASS pw"), "530 Login incorrect.\r\n");
}

TEST(FtpLogin, BeforeLoginOnlyUserAndPassMayRun) {
  // Unknown words and commands without permission are answered, the
  // session stays; permitted commands before login end it.
  for (const char *line : {"NLST", "MLSD", "EPSV", "CWD /", "TYPE I", "RETR x", "SITE NOOP"}) {
    Dialogue d;
    EXPECT_EQ(d.Run(line), kDenied) << line;
  }
  {
    Dialogue d;
    EXPECT_EQ(d.Run("XYZ"), k502);
  }
  // FEAT and OPTS are answered and the session stays; QUIT says goodbye.
  {
    Dialogue d;
    EXPECT_EQ(d.Run("FEAT").rfind("211-Features:\r\n", 0), 0u);
    EXPECT_EQ(d.Run("OPTS UTF8 ON"), "200 Always in UTF8 mode.\r\n");
    EXPECT_EQ(d.Run("OPTS MLST type;"), "501 Option not understood.\r\n");
    int code = 0;
    EXPECT_EQ(d.Run("QUIT", &code), "221 Goodbye!\r\n");
    EXPECT_EQ(code, 221);
  }
  for (const char *line : {"SYST", "NOOP", "PWD", "REST 1", "ABOR", "LIST", "PASS x"}) {
    Dialogue d;
    int code = 0;
    EXPECT_EQ(d.Run(line, &code), k332) << line;
    EXPECT_EQ(code, 332) << line;
  }
}

TEST(FtpLogin, PermissionTableAfterLogin) {
  Dialogue d;
  d.LogIn();
  // Commands an account must grant are refused without the grant...
  for (const char *word : {"CDUP", "CWD x", "MKD x", "RMD x", "DELE x", "STOR x", "RETR x",
                           "PASV", "PORT x", "APPE x", "TYPE I", "RNFR x", "RNTO x", "MDTM x",
                           "SIZE x", "SITE NOOP"})
    EXPECT_EQ(d.Run(word), kDenied) << word;
  // ...except LIST, which gives an empty listing.
  int code = 0;
  EXPECT_EQ(d.Run("LIST", &code), "150 Starting transfer.\r\n");
  EXPECT_EQ(code, 150);
  EXPECT_EQ(d.req->xfer.state, kDataSending);
  EXPECT_EQ(d.req->xfer.length, 0);
  // The basic eight are always there.
  EXPECT_EQ(d.Run("SYST"), "215 UNIX (WIN32)\r\n");
  EXPECT_EQ(d.Run("NOOP"), "200 Zzzzz...\r\n");
  EXPECT_EQ(d.Run("PWD"), "257 \"/\" is current directory.\r\n");
  EXPECT_EQ(d.Run("REST 5"), "350 Requested action pending further information.\r\n");
  // ABOR cuts the listing announced by the 150 above; with nothing
  // running it answers the completion line.
  EXPECT_EQ(d.Run("ABOR"), "426 Connection closed; transfer aborted.\r\n");
  EXPECT_EQ(d.req->xfer.state, kDataIdle);
  d.req->cmnd.finalReply = nullptr;
  EXPECT_EQ(d.Run("ABOR"), "226 Transfer complete.\r\n");
  EXPECT_EQ(d.Run("QUIT", &code), "221 Goodbye!\r\n");
  EXPECT_EQ(code, 221);
}

TEST(FtpLogin, GrantedCommandsRun) {
  Dialogue d;
  d.LogIn("AddCommand=TYPE\nAddCommand=SITE\n");
  EXPECT_EQ(d.Run("TYPE A"), "200 Command okay.\r\n");
  EXPECT_EQ(d.req->binaryMode, '0');
  EXPECT_EQ(d.Run("TYPE l 8"), "200 Command okay.\r\n");
  EXPECT_EQ(d.req->binaryMode, '1');
  EXPECT_EQ(d.Run("type a n"), "200 Command okay.\r\n");
  EXPECT_EQ(d.req->binaryMode, '0');
  EXPECT_EQ(d.Run("TYPE i"), "200 Command okay.\r\n");
  EXPECT_EQ(d.req->binaryMode, '1');
  for (const char *bad : {"TYPE E", "TYPE", "TYPE A T", "TYPE L 7"}) {
    EXPECT_EQ(d.Run(bad), "550 Requested action not taken.\r\n") << bad;
    EXPECT_EQ(d.req->binaryMode, '1');
  }
}

TEST(FtpLogin, RestReachesOnlyTheNextTransfer) {
  Dialogue d;
  d.LogIn("AddCommand=RETR\n");
  EXPECT_EQ(d.Run("REST 100"), "350 Requested action pending further information.\r\n");
  EXPECT_EQ(d.req->restOffset, 100);
  // A RETR that fails before its transfer uses the offset up all the same.
  EXPECT_EQ(d.Run("RETR x"), "550 Requested action not taken.\r\n");
  EXPECT_EQ(d.req->restOffset, 0);
  // So does any other command, known or not.
  d.Run("REST 100");
  EXPECT_EQ(d.Run("XYZ"), k502);
  EXPECT_EQ(d.req->restOffset, 0);
  d.Run("REST 100");
  EXPECT_EQ(d.Run("NOOP"), "200 Zzzzz...\r\n");
  EXPECT_EQ(d.req->restOffset, 0);
  // Offsets beyond 4 GiB are kept whole.
  d.Run("REST 3000000000");
  EXPECT_EQ(d.req->restOffset, 3000000000LL);
  EXPECT_EQ(d.Run("REST 0"), "350 Requested action pending further information.\r\n");
  EXPECT_EQ(d.Run("REST"), "350 No argument supplied, assuming REST 0.\r\n");
  EXPECT_EQ(d.req->restOffset, 0);
  int code = 0;
  EXPECT_EQ(d.Run("REST abc", &code), "550 Requested action not taken.\r\n");
  EXPECT_EQ(code, 550);
  EXPECT_EQ(d.req->restOffset, 0);
  EXPECT_EQ(d.Run("REST 00"), "550 Requested action not taken.\r\n");
  EXPECT_EQ(d.Run("REST -5"), "350 Requested action pending further information.\r\n");
  EXPECT_EQ(d.req->restOffset, -5);
}

TEST(FtpLogin, AnythingButRntoAfterRnfrIsABadSequence) {
  Dialogue d;
  d.LogIn("AddCommand=RNFR\n");
  d.Run("RNFR x");
  d.req->renameFrom = strdup("/srv/x");  // as a successful RNFR leaves it
  int code = 0;
  EXPECT_EQ(d.Run("NOOP", &code), "503 Bad sequence of commands.\r\n");
  EXPECT_EQ(code, 503);
  EXPECT_EQ(d.req->renameFrom, nullptr);
  EXPECT_EQ(d.Run("NOOP"), "200 Zzzzz...\r\n");
  d.Run("RNFR x");
  EXPECT_EQ(d.Run("QUIT", &code), "503 Bad sequence of commands.\r\n");  // not even QUIT
  EXPECT_EQ(code, 503);
}

TEST(FtpLogin, SiteRunsTheCommandBehindIt) {
  Dialogue d;
  d.LogIn("AddCommand=SITE\nAddCommand=CWD\n");
  EXPECT_EQ(d.Run("SITE NOOP"), "200 Zzzzz...\r\n");
  EXPECT_EQ(d.req->cmnd.lastCommand, kNOOP);
  EXPECT_EQ(d.Run("site site syst"), "215 UNIX (WIN32)\r\n");
  EXPECT_EQ(d.Run("SITE TYPE I"), kDenied);  // the inner command needs its own grant
  EXPECT_EQ(d.Run("SITE"), "500 Syntax error, command unrecognized.\r\n");
  EXPECT_EQ(d.Run("SITE ABCDEFGHIJ"), "500 Syntax error, command unrecognized.\r\n");
  EXPECT_EQ(d.Run("SITE CWD /"), "250 Requested action okay, completed.\r\n");
  int code = 0;
  EXPECT_EQ(d.Run("SITE QUIT", &code), "221 Goodbye!\r\n");
  EXPECT_EQ(code, 221);
}

TEST(FtpLogin, AborTearsDownTheDataSide) {
  Dialogue d;
  d.LogIn();
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  d.req->xfer.listenSocket = sv[0];
  d.req->xfer.io.fd = sv[1];
  d.req->xfer.passive = false;
  d.req->xfer.state = kDataSending;
  d.req->xfer.length = 10;
  d.req->xfer.file = dup(0);
  // The cut transfer is reported first; the abort's own reply follows.
  EXPECT_EQ(d.Run("ABOR"), "426 Connection closed; transfer aborted.\r\n");
  EXPECT_STREQ(d.req->cmnd.finalReply, "226 Abort successful.\n");
  EXPECT_EQ(d.req->xfer.listenSocket, -1);
  EXPECT_EQ(d.req->xfer.io.fd, -1);
  EXPECT_TRUE(d.req->xfer.passive);
  EXPECT_EQ(d.req->xfer.file, -1);
  EXPECT_EQ(d.req->xfer.length, 0);
  EXPECT_EQ(d.req->xfer.state, kDataIdle);
}
