// Reading zolf.ini: every key's default, bad value and fatal fault, with the
// exact console wording.
#include <gtest/gtest.h>

#include "rotating_log.h"
#include "server_config.h"
#include "zolf_fixture.h"

namespace {

// Runs InitConfig on a file holding `text`; returns its result and fills
// the console output.
int ReadConfig(const std::string &text, Server *server, Log *log, std::string *err) {
  harness::TempDir dir;
  harness::WriteFile(dir / "zolf.ini", text);
  testing::internal::CaptureStderr();
  int result = InitConfig(server, (dir / "zolf.ini").c_str(), log);
  *err = testing::internal::GetCapturedStderr();
  return result;
}

// Runs the real program on a configuration that must not start.
int RunOn(const std::string &text, std::string *err) {
  harness::TempDir dir;
  harness::WriteFile(dir / "zolf.ini", text);
  std::string out;
  return RunZolf(dir.path(), {}, &out, err);
}

}  // namespace

TEST(FtpConfig, CommentsOnlyGiveEveryDefault) {
  Server s;
  Log log;
  std::string err;
  ASSERT_EQ(ReadConfig("Port=2121\n; the first line is never read\n",
                       &s, &log, &err), 0);
  EXPECT_EQ(err,
            "The line 'MaximumBandwidth=' is missing.\nUsing MaximumBandwidth=0.\n"
            "The line 'Address=' is missing.\nUsing Address=127.0.0.1.\n"
            "The line 'ExternIP=' is missing.\nParameter ExternIP is missing (using Address).\n"
            "The line 'TimeoutTime=' is missing.\nUsing TimeoutTime=240.\n"
            "The line 'MaxUsers=' is missing.\nUsing MaxUsers=10.\n"
            "The line 'Port=' is missing.\nUsing Port=21.\n"
            "The line 'DataPort=' is missing.\nUsing DataPort=6000.\n"
            "The line 'LogMaxEntries=' is missing.\nThe line 'LogRotation=' is missing.\n"
            "The line 'LogMaxAge=' is missing.\nThe line 'LogDir=' is missing.\n");
  EXPECT_EQ(s.maxBandwidth, 0u);
  EXPECT_STREQ(s.Address, "127.0.0.1");
  EXPECT_STREQ(s.ExternIP, "127.0.0.1");
  EXPECT_EQ(s.TimeoutTime, 240);
  EXPECT_EQ(s.MaxUsers, 10u);
  EXPECT_EQ(s.Port, 21u);
  EXPECT_EQ(s.DataPort, 6000u);
  EXPECT_EQ(log.rotation, 0u);
  EXPECT_STREQ(s.serverName, "ZOLF/1.7.1");
  EXPECT_EQ(s.listenSocket, -1);
  EXPECT_EQ(s.users, 0u);
  EXPECT_EQ(s.requests, nullptr);
}

TEST(FtpConfig, ValuesAreTakenAndConverted) {
  Server s;
  Log log;
  std::string err;
  ASSERT_EQ(ReadConfig("; zolf\nMaximumBandwidth=8\nAddress=127.0.0.1\nExternIP=10.0.0.5\n"
                       "TimeoutTime=-1\nMaxUsers=100\nPort=2121\nDataPort=7000\n"
                       "LogMaxEntries=50\nLogRotation=3\nLogMaxAge=2\n"
                       "LogDir=abcdefghijklmnopqrstuvwxyz0123456789\n",
                       &s, &log, &err), 0);
  EXPECT_EQ(err, "");
  EXPECT_EQ(s.maxBandwidth, 8192u);
  EXPECT_STREQ(s.ExternIP, "10.0.0.5");
  EXPECT_EQ(s.TimeoutTime, -1);
  EXPECT_EQ(s.MaxUsers, 32u);  // lowered without a word
  EXPECT_EQ(s.Port, 2121u);
  EXPECT_EQ(s.DataPort, 7000u);
  EXPECT_EQ(log.maxEntries, 50u);
  EXPECT_EQ(log.rotation, 3u);
  EXPECT_EQ(log.maxAge, 7200);
  EXPECT_STREQ(log.dir, "abcdefghijklmnopqrstuvwxyz01234");
}

TEST(FtpConfig, BadNumbersFallBackWithTheirMessages) {
  Server s;
  Log log;
  std::string err;
  ASSERT_EQ(ReadConfig("; zolf\nMaximumBandwidth=fast\nAddress=127.0.0.1\nExternIP=AUTO\n"
                       "TimeoutTime=abc\nMaxUsers=abc\nPort=70000\nDataPort=0\n"
                       "LogRotation=0\n",
                       &s, &log, &err), 0);
  EXPECT_EQ(err,
            "MaximumBandwidth entry is not valid.\nUsing MaximumBandwidth=0.\n"
            "TimeoutTime entry is not valid.\nUsing TimeoutTime=240.\n"
            "MaxUsers entry is not valid.\nUsing MaxUsers=2.\n"
            "Port entry is not valid.\nUsing Port=21.\n"
            "DataPort entry is not valid.\nUsing DataPort=6000.\n"
            "The line 'LogMaxEntries=' is missing.\n"
            "The line 'LogMaxAge=' is missing.\nThe line 'LogDir=' is missing.\n");
  EXPECT_EQ(s.MaxUsers, 2u);
  EXPECT_EQ(s.Port, 21u);
  EXPECT_STREQ(s.ExternIP, "AUTO");  // resolved once the address is known
  // Negative numbers and huge ones: no wrap-around anywhere.
  ASSERT_EQ(ReadConfig("; zolf\nMaximumBandwidth=99999999999999999999\nMaxUsers=-3\n"
                       "Port=-21\nDataPort=-5\n",
                       &s, &log, &err), 0);
  EXPECT_GT(s.maxBandwidth, 0xffffffffull);
  EXPECT_EQ(s.MaxUsers, 32u);
  EXPECT_EQ(s.Port, 21u);
  EXPECT_EQ(s.DataPort, 6000u);
}

TEST(FtpConfig, DataPortLimits) {
  Server s;
  Log log;
  std::string err;
  EXPECT_EQ(ReadConfig("; zolf\nMaxUsers=10\nPort=2121\nDataPort=65530\n", &s, &log, &err), -1);
  EXPECT_NE(err.find("Data port can not be greater than 65525.\n"), std::string::npos) << err;
  // The check includes DataPort + MaxUsers itself; one above it passes.
  EXPECT_EQ(ReadConfig("; zolf\nMaxUsers=10\nPort=6005\nDataPort=6000\n", &s, &log, &err), -1);
  EXPECT_NE(err.find("Data port conflicting with server port.\n"), std::string::npos);
  EXPECT_EQ(ReadConfig("; zolf\nMaxUsers=10\nPort=6010\nDataPort=6000\n", &s, &log, &err), -1);
  EXPECT_EQ(ReadConfig("; zolf\nMaxUsers=10\nPort=6011\nDataPort=6000\n", &s, &log, &err), 0);
  EXPECT_EQ(ReadConfig("; zolf\nMaxUsers=10\nPort=6000\nDataPort=6000\n", &s, &log, &err), -1);
  EXPECT_EQ(ReadConfig("; zolf\nMaxUsers=10\nPort=5999\nDataPort=6000\n", &s, &log, &err), 0);
}

TEST(FtpConfig, AddressAndLogAgeFaultsAreFatal) {
  Server s;
  Log log;
  std::string err;
  EXPECT_EQ(ReadConfig("; zolf\nAddress=\n", &s, &log, &err), -1);
  EXPECT_NE(err.find("Address entry can't be zero length.\n"), std::string::npos);
  EXPECT_EQ(ReadConfig("; zolf\nAddress=127.0.0.1\nExternIP=\n", &s, &log, &err), -1);
  EXPECT_NE(err.find("ExternIP entry can't be zero length.\n"), std::string::npos);
  EXPECT_EQ(ReadConfig("; zolf\nAddress=AUTO\n", &s, &log, &err), -1);
  EXPECT_EQ(err, "The line 'MaximumBandwidth=' is missing.\nUsing MaximumBandwidth=0.\n"
                 "The line 'ExternIP=' is missing.\nParameter ExternIP is missing.\n");
  EXPECT_EQ(ReadConfig("; zolf\nPort=2121\nLogMaxAge=0\n", &s, &log, &err), -1);
  EXPECT_NE(err.find("LogMaxAge must be greater than 0.\n"), std::string::npos);
  // Only 15 characters of an address are kept.
  EXPECT_EQ(ReadConfig("; zolf\nAddress=1234567890123456789\nExternIP=AUTO\n", &s, &log, &err), 0);
  EXPECT_STREQ(s.Address, "123456789012345");
}

TEST(FtpConfig, FatalFaultsEndTheProgramWithStatusMinusOne) {
  std::string err;
  EXPECT_EQ(RunOn("; zolf\nDataPort=15\n", &err), 255);
  EXPECT_EQ(err,
            "The line 'MaximumBandwidth=' is missing.\nUsing MaximumBandwidth=0.\n"
            "The line 'Address=' is missing.\nUsing Address=127.0.0.1.\n"
            "The line 'ExternIP=' is missing.\nParameter ExternIP is missing (using Address).\n"
            "The line 'TimeoutTime=' is missing.\nUsing TimeoutTime=240.\n"
            "The line 'MaxUsers=' is missing.\nUsing MaxUsers=10.\n"
            "The line 'Port=' is missing.\nUsing Port=21.\n"
            "Data port conflicting with server port.\n"
            "Initializing server configuration failed!\n");
  EXPECT_EQ(RunOn("; zolf\nAddress=AUTO\nPort=2121\n", &err), 255);
  EXPECT_NE(err.find("Parameter ExternIP is missing.\nInitializing server configuration failed!\n"),
            std::string::npos);
}

TEST(FtpConfig, UnreadableAddressNeverListensEverywhere) {
  Zolf z;
  std::string err;
  harness::WriteFile(z.dir / "zolf.ini", z.Ini("Address=localhost\nExternIP=AUTO\nMaxUsers=2\n"));
  std::string out;
  EXPECT_EQ(RunZolf(z.dir.path(), {}, &out, &err), 255);
  EXPECT_NE(err.find("Associate local address with socket failed.\nInitializing server failed!\n"),
            std::string::npos) << err;
  EXPECT_EQ(out, "");
}

TEST(FtpConfig, PortInUseFailsAtBind) {
  Zolf z;
  ASSERT_TRUE(z.Start());
  std::string out, err;
  EXPECT_EQ(RunZolf(z.dir.path(), {}, &out, &err), 255);
  EXPECT_NE(err.find("Associate local address with socket failed.\n"), std::string::npos) << err;
}

TEST(FtpConfig, LogThatCannotBeOpenedOnlySwitchesLoggingOff) {
  Zolf z;
  ASSERT_TRUE(z.Start("MaxUsers=2\nLogRotation=2\nLogDir=no/such/dir\n"));
  EXPECT_TRUE(harness::WaitFor(
      [&] { return z.Stderr().find("Failed to initialize the log.\n") != std::string::npos; }));
  harness::Conn c;
  ASSERT_TRUE(z.Connect(c));
  EXPECT_EQ(Cmd(c, "XYZ"), "502 Command not implemented.\r\n");
}

TEST(FtpConfig, ManyUsersAreLoweredToThirtyTwo) {
  Zolf z;
  ASSERT_TRUE(z.Start("MaxUsers=100\n"));
  unsigned dataPort = z.port > 40000 ? z.port - 2000 : z.port + 100;
  EXPECT_TRUE(harness::WaitFor([&] {
    return z.server.proc.Stdout().find("Data port range is " + std::to_string(dataPort) + " to " +
                                       std::to_string(dataPort + 32) + ".\n") != std::string::npos;
  }));
}
