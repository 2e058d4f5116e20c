// Clients that never finish logging in: the idle check frees their slots.
#include <gtest/gtest.h>

#include "zolf_fixture.h"

using harness::Conn;

TEST(FtpIdleLogin, SilentClientsCannotHoldEverySlot) {
  Zolf z;
  z.SimpleAccount("awake", "");  // CloseIfIdle=no
  z.SimpleAccount("bob", "pw");
  ASSERT_TRUE(z.Start("MaxUsers=2\nTimeoutTime=1\n"));
  Conn awake, silent, waiting;
  ASSERT_TRUE(z.Connect(awake));
  ASSERT_EQ(Cmd(awake, "USER awake"), "230 Welcome!\r\n");
  ASSERT_TRUE(silent.Connect(z.port));  // never says a word
  // The server is full: this one waits in the listen queue until the
  // silent client's slot is freed.
  ASSERT_TRUE(waiting.Connect(z.port));
  EXPECT_TRUE(silent.Closed(15));
  EXPECT_EQ(waiting.ReadLine(15), "220 Ready.\r\n");
  // Half a login counts as not logged in.
  EXPECT_EQ(Cmd(waiting, "USER bob"), "331 User name okay, need password.\r\n");
  EXPECT_TRUE(waiting.Closed(15));
  // The logged-in account without CloseIfIdle keeps its session.
  EXPECT_EQ(Cmd(awake, "NOOP"), "200 Zzzzz...\r\n");
}
