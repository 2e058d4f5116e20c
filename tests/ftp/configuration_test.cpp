// Reading zolf.ini: every key's default, bad value and fatal fault, with the
// exact console wording.
#include <gtest/gtest.h>

#include <csignal>

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
  std::string warning = err.substr(0, err.find('\n') + 1);
  EXPECT_NE(warning.find("zolf.ini:1: the first line is never read; Port there is ignored.\n"),
            std::string::npos)
      << warning;
  EXPECT_EQ(warning.rfind("WARNING! ", 0), 0u);
  EXPECT_EQ(err.substr(warning.size()),
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
  // A log directory far longer than the other values may be.
  harness::TempDir logs;
  std::string logDir = logs / std::string(200, 'l') + "/" + std::string(200, 'm');
  harness::MakeDirs(logDir);
  ASSERT_EQ(ReadConfig("; zolf\nMaximumBandwidth=8\nAddress=127.0.0.1\nExternIP=10.0.0.5\n"
                       "TimeoutTime=0\nMaxUsers=100\nPort=2121\nDataPort=7000\n"
                       "LogMaxEntries=50\nLogRotation=3\nLogMaxAge=2\n"
                       "LogDir=" + logDir + "\n",
                       &s, &log, &err), 0);
  EXPECT_EQ(err, "");
  EXPECT_EQ(s.maxBandwidth, 8192u);
  EXPECT_STREQ(s.ExternIP, "10.0.0.5");
  EXPECT_EQ(s.TimeoutTime, 0);
  EXPECT_EQ(s.MaxUsers, 100u);
  EXPECT_EQ(s.limits.maxPerAddress, 25u);  // a quarter
  EXPECT_EQ(s.Port, 2121u);
  EXPECT_EQ(s.DataPort, 7000u);
  EXPECT_EQ(log.maxEntries, 50u);
  EXPECT_EQ(log.rotation, 3u);
  EXPECT_EQ(log.maxAge, 7200);
  EXPECT_EQ(std::string(log.dir), logDir);
}

// A value of the wrong form or out of range stops the reading with its
// file, line and key; none is taken as some default.
TEST(FtpConfig, BadValuesAreFaultsNamingTheirLine) {
  Server s;
  Log log;
  std::string err;
  const std::pair<const char *, const char *> faults[] = {
      {"MaximumBandwidth=fast", "zolf.ini:2: MaximumBandwidth=fast is not a whole number from 0 to "
                                "9007199254740991.\n"},
      {"MaximumBandwidth=99999999999999999999", "zolf.ini:2: MaximumBandwidth=9999"},
      {"MaxUsers=-3", "zolf.ini:2: MaxUsers=-3 is not a whole number from 0 to "},
      {"Address=localhost", "zolf.ini:2: Address=localhost is not an IPv4 or IPv6 address, or "
                            "AUTO.\n"},
      {"ExternIP=a b", "zolf.ini:2: ExternIP=a b is not an IPv4 or IPv6 address, a host name, "
                       "or AUTO.\n"},
      {"RequireTLS=on", "zolf.ini:2: RequireTLS value must be either 0 or 1.\n"},
      {"LogRotation=-1", "zolf.ini:2: LogRotation=-1 is not a whole number from 0 to 4294967295"},
      {"UploadMode=0o644", "zolf.ini:2: UploadMode=0o644 is not an octal file mode from 0 to 0777.\n"},
  };
  for (const auto &[line, fault] : faults) {
    EXPECT_EQ(ReadConfig(std::string("; zolf\n") + line + "\nPort=2121\n", &s, &log, &err), -1)
        << line;
    EXPECT_NE(err.find(fault), std::string::npos) << line << "\n" << err;
  }
  // A value longer than its key takes is refused, not passed over.
  EXPECT_EQ(ReadConfig("; zolf\nPort=2121\nQuotaDir=/" + std::string(300, 'q') + "\n", &s, &log,
                       &err),
            -1);
  EXPECT_NE(err.find("zolf.ini:3: QuotaDir= is longer than 254 characters.\n"), std::string::npos)
      << err;
  // A limit above what the server holds is lowered, and said.
  ASSERT_EQ(ReadConfig("; zolf\nMaxUsers=70000\nDataPort=1024\n", &s, &log, &err), 0);
  EXPECT_EQ(s.MaxUsers, 60000u);
  EXPECT_NE(err.find("MaxUsers is above 60000. Using MaxUsers=60000.\n"), std::string::npos)
      << err;
}

TEST(FtpConfig, PortsThatAreNoPortNumbersAreFatal) {
  for (std::string key : {"Port=", "DataPort="})
    for (std::string value : {"ftp", "98616", "-1", "0", "21x", ""}) {
      std::string err;
      EXPECT_EQ(RunOn("; zolf\n" + key + value + "\n", &err), 255) << key << value;
      std::string fault = key + value + " is not a port number from 1 to 65535.\n"
                          "Initializing server configuration failed!\n";
      ASSERT_GE(err.size(), fault.size()) << err;
      EXPECT_EQ(err.substr(err.size() - fault.size()), fault) << err;
    }
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
  // The longest IPv6 text is kept whole, and a copy of it too; what runs
  // past it is no address.
  const char *six = "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255";
  EXPECT_EQ(ReadConfig(std::string("; zolf\nAddress=") + six + "\n", &s, &log, &err), 0);
  EXPECT_STREQ(s.Address, six);
  EXPECT_STREQ(s.ExternIP, six);
  EXPECT_EQ(ReadConfig(std::string("; zolf\nAddress=") + six + "xyz\nExternIP=AUTO\n", &s, &log,
                       &err),
            -1);
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
            "zolf.ini:2: Data port conflicting with server port.\n"
            "Initializing server configuration failed!\n");
  EXPECT_EQ(RunOn("; zolf\nAddress=AUTO\nPort=2121\n", &err), 255);
  EXPECT_NE(err.find("Parameter ExternIP is missing.\nInitializing server configuration failed!\n"),
            std::string::npos);
}

TEST(FtpConfig, UnreadableAddressNeverListensEverywhere) {
  Zolf z;
  std::string err;
  // An address of the documentation range: none of this machine's.
  harness::WriteFile(z.dir / "zolf.ini", z.Ini("Address=192.0.2.1\nExternIP=AUTO\nMaxUsers=2\n"));
  std::string out;
  EXPECT_EQ(RunZolf(z.dir.path(), {}, &out, &err), 255);
  EXPECT_NE(err.find("Associate local address with socket failed.\n192.0.2.1:" +
                     std::to_string(z.port) +
                     ": Cannot assign requested address\nInitializing server failed!\n"),
            std::string::npos) << err;
  EXPECT_EQ(out, "");
}

TEST(FtpConfig, PortInUseFailsAtBind) {
  Zolf z;
  ASSERT_TRUE(z.Start());
  std::string out, err;
  EXPECT_EQ(RunZolf(z.dir.path(), {}, &out, &err), 255);
  EXPECT_NE(err.find("Associate local address with socket failed.\n127.0.0.1:" +
                     std::to_string(z.port) + ": Address already in use\n"),
            std::string::npos) << err;
}

TEST(FtpConfig, LogDirectoryMissingIsFatalAnUnwritableLogOnlySwitchesLoggingOff) {
  std::string err;
  EXPECT_EQ(RunOn("; zolf\nLogRotation=2\nLogDir=no/such/dir\n", &err), 255);
  EXPECT_NE(err.find("LogDir no/such/dir does not exist or is not a directory.\n"
                     "Initializing server configuration failed!\n"),
            std::string::npos)
      << err;
  Zolf z;
  // The directory is there, but the first log file cannot be created.
  harness::MakeDirs(z.dir / "logs/log0001.log");
  ASSERT_TRUE(z.Start("MaxUsers=2\nLogRotation=2\nLogDir=logs\n"));
  EXPECT_TRUE(harness::WaitFor(
      [&] { return z.Stderr().find("Failed to initialize the log.\n") != std::string::npos; }));
  harness::Conn c;
  ASSERT_TRUE(z.Connect(c));
  EXPECT_EQ(Cmd(c, "XYZ"), "502 Command not implemented.\r\n");
}

TEST(FtpConfig, AccountWithAMissingRootIsWarnedAboutAtTheStart) {
  Zolf z;
  harness::MakeDirs(z.dir / "accounts");
  harness::MakeDirs(z.dir / "home/ann");
  harness::WriteFile(z.dir / "accounts/ann.ini", "; ann\nRootDirectory=" + z.dir / "home/ann" + "\n");
  harness::WriteFile(z.dir / "accounts/bob.ini", "; bob\nRootDirectory=" + z.dir / "home/bob" + "\n");
  harness::WriteFile(z.dir / "home/file", "");
  harness::WriteFile(z.dir / "accounts/cy.ini", "; cy\nRootDirectory=" + z.dir / "home/file" + "\n");
  ASSERT_TRUE(z.Start("MaxUsers=2\n"));
  std::string err = z.Stderr();
  EXPECT_NE(err.find("WARNING! Account bob: RootDirectory " + z.dir / "home/bob" +
                     " does not exist or is not a directory.\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("WARNING! Account cy: RootDirectory " + z.dir / "home/file"), std::string::npos)
      << err;
  EXPECT_EQ(err.find("Account ann"), std::string::npos) << err;
  // At login the account is refused, and the console says why.
  z.Account("bob", "PassWord=pw\nAllowIPAddress=ALL\nCloseIfIdle=no\nAllowFullBandwidth=no\n"
                   "RootDirectory=" + z.dir / "home/bob" + "\nDiskQuota=0\n");
  harness::Conn c;
  ASSERT_TRUE(z.Connect(c));
  EXPECT_EQ(Cmd(c, "USER bob"), "331 User name okay, need password.\r\n");
  EXPECT_EQ(Cmd(c, "PASS pw").substr(0, 4), "530 ");
  EXPECT_TRUE(harness::WaitFor([&] {
    return z.Stderr().find("Account bob: RootDirectory " + z.dir / "home/bob" +
                           " does not exist or is not a directory; its logins are "
                           "refused.\n") != std::string::npos;
  })) << z.Stderr();

  // -t reads every account file as a login would and names each that
  // cannot log in; with them mended the tree is sound.
  std::string out;
  EXPECT_EQ(RunZolf(z.dir.path(), {"-t"}, &out, &err), 1);
  EXPECT_EQ(out, "Configuration zolf.ini is faulty.\n");
  for (const char *name : {"ann", "bob", "cy"})
    EXPECT_NE(err.find(std::string("Account ") + name + " (" + z.dir / "accounts/" + name +
                       ".ini) cannot log in.\n"),
              std::string::npos)
        << err;
  z.Account("dee", "PassWrd=x\n");
  EXPECT_EQ(RunZolf(z.dir.path(), {"-t"}, &out, &err), 1);
  EXPECT_NE(err.find(z.dir / "accounts/dee.ini:2: PassWrd is not a known key (did you mean "
                             "PassWord?)\n"),
            std::string::npos)
      << err;
  harness::WriteFile(z.dir / "accounts/dee.ini", harness::ReadFile(z.dir / "accounts/bob.ini"));
  z.SimpleAccount("ann", "pw");
  harness::MakeDirs(z.dir / "home/bob");
  harness::WriteFile(z.dir / "accounts/cy.ini", harness::ReadFile(z.dir / "accounts/bob.ini"));
  EXPECT_EQ(RunZolf(z.dir.path(), {"-t"}, &out, &err), 0) << err;
  EXPECT_EQ(out, "Configuration zolf.ini is sound.\n");
  harness::WriteFile(z.dir / "zolf.ini", "; zolf\nPort=0\n");
  EXPECT_EQ(RunZolf(z.dir.path(), {"-t"}, &out, &err), 1);
  EXPECT_NE(err.find("Port=0 is not a port number from 1 to 65535.\n"), std::string::npos) << err;
  harness::WriteFile(z.dir / "zolf.ini", "; zolf\nMaxUsers = 4\nMaxUser=4\n");
  EXPECT_EQ(RunZolf(z.dir.path(), {"-t"}, &out, &err), 1);
  EXPECT_NE(err.find("zolf.ini:2: MaxUsers: blanks around '=' are not allowed.\n"
                     "zolf.ini:3: MaxUser is not a known key (did you mean MaxUsers?)\n"),
            std::string::npos)
      << err;
}

// SIGHUP: a sound file applies to sessions made afterwards while an open
// one goes on; a faulty one is reported and the running settings kept.
TEST(FtpConfig, ReloadOnSighup) {
  Zolf z;
  z.SimpleAccount("u", "pw", "PASV");
  // ExternIP may be a host name, looked up at the start.
  ASSERT_TRUE(z.Start("MaxUsers=4\nMaxPerAddress=1\nExternIP=localhost\n"));
  harness::Conn first, second;
  ASSERT_TRUE(z.Login(first, "u", "pw"));
  EXPECT_EQ(Cmd(first, "PASV").rfind("227 Entering Passive Mode (127,0,0,1,", 0), 0u);
  ASSERT_TRUE(second.Connect(z.port));
  EXPECT_EQ(second.ReadLine(), "421 Too many connections from your address.\r\n");
  unsigned dataPort = harness::ListenPortsFor(z.port);
  harness::WriteFile(z.dir / "zolf.ini",
                     z.Ini("MaxUsers=4\nMaxPerAddress=2\nExternIP=127.0.0.9\n", dataPort));
  ASSERT_EQ(kill(z.server.proc.pid(), SIGHUP), 0);
  EXPECT_TRUE(harness::WaitFor([&] {
    return z.server.proc.Stdout().find("Configuration zolf.ini reloaded.\n") != std::string::npos;
  }));
  harness::Conn third;
  EXPECT_TRUE(z.Login(third, "u", "pw"));
  EXPECT_EQ(Cmd(third, "PASV").rfind("227 Entering Passive Mode (127,0,0,9,", 0), 0u);
  EXPECT_EQ(Cmd(first, "NOOP"), "200 Zzzzz...\r\n");
  harness::WriteFile(z.dir / "zolf.ini", z.Ini("MaxUsers=4\nLogMaxAge=0\n", dataPort));
  ASSERT_EQ(kill(z.server.proc.pid(), SIGHUP), 0);
  EXPECT_TRUE(harness::WaitFor([&] {
    return z.Stderr().find("Configuration zolf.ini is faulty; the running configuration is "
                           "kept.\n") != std::string::npos;
  }));
  EXPECT_EQ(Cmd(third, "NOOP"), "200 Zzzzz...\r\n");
  // A host name again: looked up beside the serving, announced once known.
  harness::WriteFile(z.dir / "zolf.ini",
                     z.Ini("MaxUsers=4\nMaxPerAddress=2\nExternIP=localhost\n", dataPort));
  ASSERT_EQ(kill(z.server.proc.pid(), SIGHUP), 0);
  EXPECT_TRUE(harness::WaitFor([&] {
    return Cmd(third, "PASV").rfind("227 Entering Passive Mode (127,0,0,1,", 0) == 0;
  }));
}

TEST(FtpConfig, ManyUsersAreServed) {
  Zolf z;
  ASSERT_TRUE(z.Start("MaxUsers=100\n"));
  unsigned dataPort = harness::ListenPortsFor(z.port);
  EXPECT_TRUE(harness::WaitFor([&] {
    return z.server.proc.Stdout().find("Data port range is " + std::to_string(dataPort) + " to " +
                                       std::to_string(dataPort + 100) + ".\n") != std::string::npos;
  }));
}
