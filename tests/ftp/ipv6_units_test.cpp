// IPv6 client addresses inside the session code: long texts kept whole in
// the session and the log, and the data connection that must come from
// the client's own address. Loopback has
// one IPv6 address, so the session here pretends to come from another.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <string>

#include "addresses.h"
#include "data_connection.h"
#include "harness.h"
#include "session_fixture.h"

namespace {

const char kLong[] = "2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff";

bool Waiting(int listener) {
  pollfd p{listener, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

}  // namespace

TEST(FtpIPv6Units, LongAddressesAreKeptWhole) {
  TestSession s(kLong);
  EXPECT_STREQ(s.req->clientAddress.text, kLong);
  s.Run("NOOP");
  EXPECT_NE(s.LogText().find(std::string("[") + kLong + "] : NOOP\n"), std::string::npos)
      << s.LogText();
}

TEST(FtpIPv6Units, DataConnectionFromAnotherAddressIsClosed) {
  TestSession s("::2");
  unsigned port = harness::FreePort();
  int stage = 0;
  int listener = ListenOn("::1", port, 4, &stage);
  ASSERT_GE(listener, 0) << stage;
  s.req->xfer.listenSocket = listener;
  s.req->xfer.passive = true;
  // A connection from ::1 is a stranger's: closed, and the port still
  // listens for the client.
  harness::Conn stranger;
  ASSERT_TRUE(stranger.Connect(port, "::1"));
  ASSERT_TRUE(harness::WaitFor([&] { return Waiting(listener); }, 5));
  EXPECT_EQ(OnAcceptXfer(s.req), -1);
  EXPECT_EQ(s.req->xfer.io.fd, -1);
  EXPECT_EQ(s.req->xfer.listenSocket, listener);
  EXPECT_TRUE(stranger.Closed());
  // The same connection from the client's own address is taken.
  ASSERT_EQ(AddressFromText("::1", 0, &s.req->clientAddress), 0);
  harness::Conn client;
  ASSERT_TRUE(client.Connect(port, "::1"));
  ASSERT_TRUE(harness::WaitFor([&] { return Waiting(listener); }, 5));
  EXPECT_EQ(OnAcceptXfer(s.req), 0);
  EXPECT_GE(s.req->xfer.io.fd, 0);
  EXPECT_EQ(s.req->xfer.listenSocket, -1);
}
