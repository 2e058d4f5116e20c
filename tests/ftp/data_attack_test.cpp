// Strangers at the passive port and clients that point PORT at the server
// itself: the data connection belongs to its client and to nothing else.
#include <gtest/gtest.h>

#include <set>

#include "data_fixture.h"
#include "hostile_fixture.h"
#include "zolf_fixture.h"

using harness::Conn;

namespace {

const char kGrants[] = "PASV PORT RETR STOR LIST";

// True once a connection to host:port is refused, polled with a deadline.
bool RefusedSoon(unsigned port, const std::string &host, double seconds = 5) {
  return harness::WaitFor(
      [&] {
        Conn probe;
        return !probe.Connect(port, host, "", 1);
      },
      seconds);
}

std::string PortArgument(unsigned port) {
  return "127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256);
}

}  // namespace

TEST(FtpDataConnections, PassivePortServesOneConnectionOfItsClientOnly) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  harness::WriteFile(z.Root() + "/f", "file data");
  ASSERT_TRUE(StartQuietly(z));
  Conn c;
  ASSERT_TRUE(z.Login(c, "u", "pw"));
  std::string reply = Cmd(c, "PASV");
  unsigned port = PassivePort(reply);
  ASSERT_NE(port, 0u) << reply;
  // Bound to the address the client reached the server at, not to all:
  // another local address does not lead to it.
  Conn other;
  EXPECT_FALSE(other.Connect(port, "127.0.0.2", "", 2));

  // A stranger connects while the client is halfway through a command
  // line: the stranger is shut out, the client's line is left alone.
  ASSERT_TRUE(c.Send("NO"));
  Conn stranger;
  ASSERT_TRUE(stranger.Connect(port, "127.0.0.1", "127.0.0.2"));
  EXPECT_TRUE(stranger.Closed());
  ASSERT_TRUE(c.Send("OP\r\n"));
  EXPECT_EQ(Text(c.ReadLine()), "200 Zzzzz...");

  // The client's own connection is taken, and then the port closes.
  Conn data;
  ASSERT_TRUE(data.Connect(port));
  EXPECT_TRUE(RefusedSoon(port, "127.0.0.1"));
  EXPECT_EQ(Text(Cmd(c, "RETR f")), "150 Starting transfer.");
  EXPECT_EQ(data.ReadAll(), "file data");
  EXPECT_EQ(Text(c.ReadLine()), "226 Transfer complete.");
}

TEST(FtpDataConnections, PortNeverLeadsToPrivilegedOrOwnPorts) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  ASSERT_TRUE(StartQuietly(z));
  Conn c;
  ASSERT_TRUE(z.Login(c, "u", "pw"));
  // The server's own passive port (from its PASV reply) and command port.
  // The passive port follows from nothing a second user could see: PASV
  // after PASV, the session gets ports of its range picked at random.
  unsigned passive = PassivePort(Cmd(c, "PASV"));
  ASSERT_NE(passive, 0u);
  std::set<unsigned> seen;
  for (int i = 0; i < 12; i++) seen.insert(PassivePort(Cmd(c, "PASV")));
  EXPECT_GT(seen.size(), 1u);
  EXPECT_EQ(seen.count(0u), 0u);
  for (unsigned port : {z.port, passive, 21u, 1023u}) {
    EXPECT_EQ(Text(Cmd(c, "PORT " + PortArgument(port))), "550 Bad PORT arguments.") << port;
    // Nothing was connected: a STOR has no data connection to read from,
    // so the server's greeting never lands in a file.
    EXPECT_EQ(Text(Cmd(c, "STOR greeting")), "150 Starting transfer.");
    EXPECT_EQ(Text(Cmd(c, "ABOR")), "426 Connection closed; transfer aborted.");
    EXPECT_EQ(Text(c.ReadLine()), "226 Abort successful.");
    EXPECT_FALSE(harness::Exists(z.Root() + "/greeting")) << port;
  }
  // An ordinary client port still works.
  ActiveListener listener;
  EXPECT_EQ(Text(Cmd(c, "PORT " + listener.PortArgument())), "200 Command okay.");
  harness::WriteFile(z.Root() + "/f", "through PORT");
  EXPECT_EQ(Text(Cmd(c, "RETR f")), "150 Starting transfer.");
  EXPECT_EQ(listener.AcceptAndReadAll(), "through PORT");
  EXPECT_EQ(Text(c.ReadLine()), "226 Transfer complete.");
}
