// mirt's command line, start-up lines and the messages of its configuration.
#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"
#include "mirt_fixture.h"

using harness::Bin;
using harness::Process;
using harness::WriteFile;
using mirt_test::MirtTest;

namespace {

struct Outcome {
  int status;
  std::string out, err;
};

class MirtStartup : public MirtTest {
 protected:
  // Runs mirt to its end (for configurations and arguments that stop it).
  Outcome RunToEnd(const std::vector<std::string> &args) {
    Process p;
    std::vector<std::string> argv{Bin("mirt")};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_TRUE(p.Start(argv, home.path()));
    int status = p.Wait(10);
    return {status, p.Stdout(), p.Stderr()};
  }
  Outcome RunIni(const std::string &ini) {
    WriteFile(home / "mirt.ini", ini);
    return RunToEnd({});
  }
};

const char kUsage[] =
    "Mirt HTTP Server By Orvald.\n"
    "Parameters: [-config FILE] [-t] [-v] [--help] [-hash]\n"
    "-config FILE : Where FILE is the configuration file to be used\n"
    "-t : Check the configuration, start nothing\n"
    "-v, --version : Print the name and version\n"
    "--help : Print this text\n"
    "-hash : Read a password and print its hash for AddUser=\n";

TEST_F(MirtStartup, UnknownOptionsExitTwoWithTheUsageOnStandardError) {
  for (auto args : std::vector<std::vector<std::string>>{
           {"-config"}, {"-x"}, {"-config", "a.ini", "-config"}, {"config", "a"}}) {
    Outcome o = RunToEnd(args);
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, kUsage);
  }
  Outcome o = RunToEnd({"--help"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, kUsage);
  o = RunToEnd({"-v"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "mirt (Mirt/1.7.1)\n");
}

TEST_F(MirtStartup, StartUpLinesAndTerminationOnSigterm) {
  ASSERT_TRUE(Start());
  std::string p = std::to_string(port);
  std::string expected =
      "Configuration is okey! Configuration file is mirt.ini.\n"
      "Default web root directory is " + Root() + "\n"
      "Mirt/1.7.1 by Orvald is running on port " + p + " [127.0.0.1].\n"
      "Waiting for connections...\n";
  // Line-buffered: the banners are there while the server runs.
  EXPECT_TRUE(harness::WaitFor([&] { return server.proc.Stdout() == expected; }, 5))
      << server.proc.Stdout();
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(server.proc.Stdout(), expected + "Server terminated...\n");
  // Started as root without User=, the one word about it.
  EXPECT_EQ(server.proc.Stderr(),
            geteuid() == 0
                ? "WARNING! Running as root; set User= to serve as an unprivileged account.\n"
                : "");
}

TEST_F(MirtStartup, LaterConfigPairWins) {
  WriteFile(home / "a.ini", Ini("Port=1\nAddress=\n"));
  WriteFile(home / "b.ini", Ini());
  ASSERT_TRUE(server.Start(Bin("mirt"), {"-config", "a.ini", "-config", "b.ini"},
                           home.path(), port));
  EXPECT_TRUE(harness::WaitFor([&] {
    return server.proc.Stdout().find(
               "Configuration is okey! Configuration file is b.ini.\n") == 0;
  }, 5));
}

TEST_F(MirtStartup, MissingConfigFile) {
  Outcome o = RunToEnd({"-config", "nothere.ini"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "Could not open nothere.ini.\nConfiguration is faulty!\n");
  EXPECT_EQ(o.out, "");
}

// A fatal configuration line: its message, then the verdict, exit status 1.
struct Fatal {
  std::string lines;
  std::string message;
};
void PrintTo(const Fatal &f, std::ostream *os) { *os << f.lines; }

const char kHeaderBad[] =
    "AddHeader entry is not valid (PREFIX;Name: value, without control characters).\n";

class MirtFatalConfig : public MirtStartup,
                        public ::testing::WithParamInterface<Fatal> {};

// Every fault names the file and line first: the lines under test stand on
// the second line.
TEST_P(MirtFatalConfig, MessageThenFaulty) {
  Outcome o = RunIni(Ini(GetParam().lines));
  EXPECT_EQ(o.status, 1);
  const std::string &m = GetParam().message;
  std::string where = m.rfind("mirt.ini:", 0) == 0 ? "" : "mirt.ini:2: ";
  EXPECT_EQ(o.err, where + m + "Configuration is faulty!\n");
  EXPECT_EQ(o.out.find("okey"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    MirtKeys, MirtFatalConfig,
    ::testing::Values(
        Fatal{"Address=\n", "Address entry can't be zero length.\n"},
        Fatal{"ExternIP=\n", "ExternIP entry can't be zero length.\n"},
        Fatal{"MaxConnections=0\n",
              "Max connections is 0. This will disable the server."},
        Fatal{"DirectoryListing=2\n",
              "DirectoryListing value must be either 0 or 1.\n"},
        Fatal{"DirectoryListing=\n",
              "DirectoryListing value must be either 0 or 1.\n"},
        Fatal{"ShowProtectedFiles=x\n",
              "ShowProtectedFiles value must be either 0 or 1.\n"},
        Fatal{"AddType=\n", "AddType entry is not valid (zero length).\n"},
        Fatal{"AddType=.htm\n", "AddType entry is not valid (could not found ;).\n"},
        Fatal{"AddType=.htm;\n", "AddType entry is not valid (no type specified).\n"},
        Fatal{"AddForbidden=\n", "AddForbidden entry can not be zero length.\n"},
        Fatal{"AddUser=a\n",
              "AddUser entry is either too short or too large or username part "
              "is missing.\n"},
        Fatal{"AddUser=;pw\n",
              "AddUser entry is either too short or too large or username part "
              "is missing.\n"},
        Fatal{"AddUser=u;" + std::string(159, 'u') + "\n",
              "AddUser entry is either too short or too large or username part "
              "is missing.\n"},
        // A hash cut short by a copy.
        Fatal{"AddUser=demo;$6$w7oKhVq4xkal6VxH$yh7V5eph6tG8342FNr3O/Wyic\n",
              "AddUser entry for demo holds a password hash libcrypt does not accept.\n"},
        // A scheme not accepted, which is no clear password either.
        Fatal{"AddUser=demo;$1$saltsalt$qjXMvbEw8oaL.CzflDugX/\n",
              "AddUser entry for demo holds a password hash libcrypt does not accept.\n"},
        Fatal{"AddIndex=\n", "AddIndex entry is zero length or too large.\n"},
        Fatal{"AddIndex=" + std::string(16, 'i') + "\n",
              "AddIndex entry is zero length or too large.\n"},
        Fatal{"AddIndex=a/b.htm\n", "\\, / and : are not allowed in AddIndex entry.\n"},
        Fatal{"AddIndex=a:b\n", "\\, / and : are not allowed in AddIndex entry.\n"},
        Fatal{"AddHost=\n", "AddHost entry is zero length or too large.\n"},
        Fatal{"AddHost=" + std::string(128 + 1 + PATH_MAX, 'h') + "\n",
              "AddHost entry is zero length or too large.\n"},
        Fatal{"AddHost=docs\n", "AddHost entry is not valid (could not found ;).\n"},
        Fatal{"AddHost=docs;\n", "AddHost entry is missing path.\n"},
        Fatal{"AddHost=docs;/" + std::string(PATH_MAX - 1, 'p') + "\n",
              "AddHost entry path too long.\n"},
        Fatal{"AddHost=docs;/\n", "Specify full path for AddVirtual entries.\n"},
        Fatal{"AddHost=docs;www\n",
              "AddHost entry is not valid (path must begin with /).\n"},
        Fatal{"AddVirtual=/;/" + std::string(PATH_MAX - 1, 'v') + "\n",
              "AddVirtual entry is too large.\n"},
        Fatal{"AddVirtual=/;/" + std::string(PATH_MAX + 600, 'v') + "\n",
              "mirt.ini:2: AddVirtual= is longer than 4608 characters.\n"},
        Fatal{"AddVirtual=/pics/\n",
              "AddVirtual entry is not valid (could not found ;).\n"},
        Fatal{"AddVirtual=/pics/;\n", "AddVirtual entry is missing path.\n"},
        Fatal{"AddVirtual=/;/\n", "Specify full path for AddVirtual entries.\n"},
        Fatal{"AddVirtual=/;a/\n", "Specify full path for AddVirtual entries.\n"},
        Fatal{"AddVirtual=/;www\n",
              "AddVirtual entry is not valid (path must begin with /).\n"},
        Fatal{"Workers=0\n", "Workers=0 is not valid: auto, or a number from 1 to 256.\n"},
        Fatal{"Workers=257\n", "Workers=257 is not valid: auto, or a number from 1 to 256.\n"},
        Fatal{"LogMaxAge=0\n", "LogMaxAge must be greater than 0.\n"},
        Fatal{"LogMaxAge=-3\n", "LogMaxAge must be greater than 0.\n"},
        // A value of the wrong form or out of range, in the reader's words.
        Fatal{"Timeout=30s\n", "Timeout=30s is not a whole number from 0 to 2147483647.\n"},
        Fatal{"KeepAliveTimeout=86401\n",
              "KeepAliveTimeout=86401 is not a whole number from 0 to 86400.\n"},
        Fatal{"Address=localhost\n",
              "Address=localhost is not an IPv4 or IPv6 address, or AUTO.\n"},
        Fatal{"TLSKey=/" + std::string(4100, 'k') + "\n", "TLSKey= is longer than 4095 characters.\n"},
        // Strict keys: the file, the line and the nearest known key.
        Fatal{"TLSCertifcate=x.pem\n",
              "mirt.ini:2: TLSCertifcate is not a known key (did you mean TLSCertificate?)\n"},
        Fatal{"port=8080\n", "mirt.ini:2: port is not a known key (did you mean Port?)\n"},
        Fatal{"Colour=blue\n", "mirt.ini:2: Colour is not a known key\n"},
        Fatal{"Port = 45023\n", "mirt.ini:2: Port: blanks around '=' are not allowed.\n"},
        Fatal{"AddHeader=/x: y\n", std::string(kHeaderBad)},
        Fatal{"AddHeader=/;Bad name: x\n", std::string(kHeaderBad)},
        Fatal{"AddHeader=/;X: a\x01b\n", std::string(kHeaderBad)}),
    [](const ::testing::TestParamInfo<Fatal> &info) {
      return "Line" + std::to_string(info.index);
    });

TEST_F(MirtStartup, NoAddVirtualIsFatal) {
  Outcome o = RunIni(Ini("", false));
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "AddVirtual is missing.\nConfiguration is faulty!\n");
}

TEST_F(MirtStartup, ExternIpMissingWithAutoAddressIsFatal) {
  // The first line of the file is never read; the key there counts as absent.
  Outcome o = RunIni("ExternIP=http://x\nAddress=AUTO\nAddVirtual=/;/tmp\n");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("Parameter ExternIP is missing.\nConfiguration is faulty!\n"),
            std::string::npos)
      << o.err;
}

TEST_F(MirtStartup, UnreadableAddressFailsStartWithExitOne) {
  // Without Port= the default 80 is taken; the address fails before any bind.
  // An address of the documentation range: none of this machine's.
  Outcome o = RunIni("; x\nAddress=192.0.2.1\nExternIP=http://x\n"
                     "AddVirtual=/;/tmp\n");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("The line 'Port=' is missing.\n"), std::string::npos);
  EXPECT_NE(o.err.find("Associate local address with socket failed.\n"
                       "192.0.2.1:80: Cannot assign requested address\n"
                       "Unable to start Mirt/1.7.1.\n"),
            std::string::npos)
      << o.err;
  EXPECT_NE(o.out.find("Configuration is okey!"), std::string::npos);
}

TEST_F(MirtStartup, PortsThatAreNoPortNumbersAreFatal) {
  for (std::string value : {"http", "98616", "-1", "0", "65536", "80 ", ""}) {
    Outcome o = RunIni(Ini("Port=" + value + "\n"));
    EXPECT_EQ(o.status, 1) << value;
    EXPECT_EQ(o.err, "mirt.ini:2: Port=" + value + " is not a port number from 1 to 65535.\n"
                     "Configuration is faulty!\n");
    EXPECT_EQ(o.out, "");
  }
}

TEST_F(MirtStartup, PortInUseSaysWhy) {
  ASSERT_TRUE(Start());
  Outcome o = RunToEnd({});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("Associate local address with socket failed.\n127.0.0.1:" +
                       std::to_string(port) +
                       ": Address already in use\nUnable to start Mirt/1.7.1.\n"),
            std::string::npos)
      << o.err;
}

TEST_F(MirtStartup, DirectoriesThatAreNotThereAreReportedAtTheStart) {
  // The main root missing: nothing could be served.
  Outcome o = RunIni(Ini("AddVirtual=/;" + site / "gone" + "\n", false));
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "Web root directory " + site / "gone" +
                       " does not exist or is not a directory.\nConfiguration is faulty!\n");
  EXPECT_EQ(o.out, "");
  // A log directory that is not one: the log asked for could not be kept.
  Put("file", "x");
  o = RunIni(Ini("LogRotation=2\nLogDir=" + Root() + "/file\n"));
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "LogDir " + Root() + "/file does not exist or is not a directory.\n"
                   "Configuration is faulty!\n");

  // A virtual directory or host root that is missing only affects its own
  // requests: a warning naming the entry, and the server starts.
  ASSERT_TRUE(Start("AddVirtual=/pics/;" + site / "pics" + "\nAddHost=a.example;" +
                    site / "a" + "\nAddHost=b.example;" + Root() + "\n"));
  EXPECT_TRUE(harness::WaitFor([&] {
    return server.proc.Stdout().find("Configuration is okey!") != std::string::npos;
  }, 5));
  std::string err = server.proc.Stderr();
  EXPECT_NE(err.find("WARNING! AddVirtual entry /pics/: " + site / "pics" +
                     " does not exist or is not a directory.\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("WARNING! AddHost entry a.example: " + site / "a" +
                     " does not exist or is not a directory.\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("b.example"), std::string::npos) << err;
}

TEST_F(MirtStartup, WarningsLetTheServerStart) {
  // Address missing, ExternIP missing, a limit above what the server
  // holds, and each of the four log keys missing.
  std::string p = std::to_string(port);
  WriteFile(home / "mirt.ini",
            "; warnings\nPort=" + p + "\nMaxConnections=1500000\n"
            "AddVirtual=/;" + Root() + "\n");
  ASSERT_TRUE(server.Start(Bin("mirt"), {}, home.path(), port));
  std::string err = server.proc.Stderr();
  for (const char *m : {"Parameter Address is missing (using 127.0.0.1).\n",
                        "Parameter ExternIP is missing (using Address).\n",
                        "The line 'LogMaxEntries=' is missing.\n",
                        "The line 'LogRotation=' is missing.\n",
                        "The line 'LogMaxAge=' is missing.\n",
                        "The line 'LogDir=' is missing.\n"})
    EXPECT_NE(err.find(m), std::string::npos) << m;
  EXPECT_NE(err.find("MaxConnections is above 1000000. Using MaxConnections=1000000.\n"),
            std::string::npos)
      << err;
  // The Location of a redirect starts with http://, the address and,
  // since the server does not listen on 80, its port.
  harness::MakeDirs(Root() + "/dir");
  mirt_test::Reply r = Get("/dir");
  EXPECT_EQ(r.Header("Location"),
            "http://127.0.0.1:" + std::to_string(port) + "/dir/");
  // No LogRotation: no log file at all.
  EXPECT_EQ(Stop(), 0);
  EXPECT_FALSE(harness::Exists(home / "log0001.log"));
}

TEST_F(MirtStartup, LogThatCannotOpenLeavesServerRunning) {
  // The directory is there, but the first log file cannot be created.
  harness::MakeDirs(home / "logs/log0001.log");
  ASSERT_TRUE(Start("LogRotation=2\nLogDir=logs\n"));
  EXPECT_TRUE(harness::WaitFor([&] {
    return server.proc.Stderr().find("Failed to initialize the log.\n") !=
           std::string::npos;
  }, 5));
  harness::WriteFile(Root() + "/a.txt", "abc");
  EXPECT_EQ(Get("/a.txt").body, "abc");
}

}  // namespace

// The signals an operator sends: SIGHUP reloads (a connection already open
// finishes, new ones see the new settings, a faulty file keeps the running
// ones), SIGUSR1 reopens the log after it was moved, SIGUSR2 is ignored,
// and no logged line is lost on the way.
TEST_F(MirtStartup, SignalsReloadReopenTheLogAndAreIgnored) {
  Put("a.txt", "one");
  ASSERT_TRUE(Start());
  const pid_t pid = server.proc.pid();
  harness::Conn held;
  ASSERT_TRUE(held.Connect(port));
  ASSERT_TRUE(held.Send("GET /a.txt HTTP/1.0\r\n"));
  EXPECT_EQ(Get("/").status, 404);
  WriteFile(home / "mirt.ini", Ini("DirectoryListing=1\n"));
  ASSERT_EQ(kill(pid, SIGHUP), 0);
  EXPECT_TRUE(harness::WaitFor([&] {
    return server.proc.Stdout().find("Configuration mirt.ini reloaded.\n") != std::string::npos;
  }));
  EXPECT_EQ(Get("/").status, 200);
  ASSERT_TRUE(held.Send("\r\n"));
  mirt_test::Reply kept = mirt_test::ParseReply(held.ReadAll());
  EXPECT_EQ(kept.status, 200);
  EXPECT_EQ(kept.body, "one");

  WriteFile(home / "mirt.ini", Ini("AddVirtual=nosemicolon\n"));
  ASSERT_EQ(kill(pid, SIGHUP), 0);
  EXPECT_TRUE(harness::WaitFor([&] {
    return server.proc.Stderr().find(
               "Configuration mirt.ini is faulty; the running configuration is kept.\n") !=
           std::string::npos;
  }));
  EXPECT_EQ(Get("/").status, 200);

  // Lines reach the file within a second, without a stop.
  EXPECT_TRUE(harness::WaitFor([&] { return Log().find(" GET / 200 ") != std::string::npos; }));
  std::rename((home / "log0001.log").c_str(), (home / "moved.log").c_str());
  ASSERT_EQ(kill(pid, SIGUSR1), 0);
  ASSERT_EQ(kill(pid, SIGUSR2), 0);
  size_t made = 4;
  EXPECT_TRUE(harness::WaitFor([&] {
    Get("/a.txt");
    made++;
    return Log().find(" GET /a.txt 200 ") != std::string::npos;
  }));
  // SIGTERM lets an answer in flight finish (it cannot sit in the socket
  // buffers whole), then the server ends.
  const std::string big = mirt_test::Bytes(32 << 20);
  Put("big.txt", big);
  harness::Conn slow;
  ASSERT_TRUE(slow.Connect(port));
  ASSERT_TRUE(slow.Send("GET /big.txt HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(slow.ReadLine(), "HTTP/1.0 200 Ok\r\n");
  made++;
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  mirt_test::Reply whole = mirt_test::ParseReply("HTTP/1.0 200 Ok\r\n" + slow.ReadAll());
  EXPECT_TRUE(whole.body == big) << whole.body.size();
  EXPECT_EQ(Stop(), 0);
  std::string moved = harness::ReadFile(home / "moved.log");
  EXPECT_NE(moved.find(" GET /a.txt 200 "), std::string::npos) << moved;  // the held one
  // Every request made is in one of the two files, once.
  size_t logged = 0;
  for (const std::string &text : {moved, Log()})
    for (size_t at = 0; (at = text.find(" GET ", at)) != std::string::npos; at++) logged++;
  EXPECT_NE(Log().find(" GET /big.txt 200 "), std::string::npos);
  EXPECT_EQ(logged, made) << moved << Log();
}
