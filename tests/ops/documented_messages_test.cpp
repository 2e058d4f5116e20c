// The manual pages promise operators the exact console line of every
// configuration fault. These tests feed each server configurations and
// account files with those faults, collect what the program really prints,
// and check that every line stands in its manual pages, so a reworded
// message or a new one cannot slip past the documentation.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

using harness::Bin;
using harness::Conn;
using harness::Exists;
using harness::FreePort;
using harness::MakeDirs;
using harness::Process;
using harness::ReadFile;
using harness::TempDir;
using harness::WaitFor;
using harness::WriteFile;

namespace {

const char kWaiting[] = "Waiting for connections...";

// The text of roff sources as a reader sees it, on one line: macro names
// dropped, argument quotes removed, the escapes these pages use replaced.
std::string PlainText(const std::string &roff) {
  static const std::pair<const char *, const char *> kEscapes[] = {
      {"\\(lq", "\""}, {"\\(rq", "\""}, {"\\(aq", "'"}, {"\\&", ""},
      {"\\e", "\\"},   {"\\-", "-"},    {"\\fB", ""},   {"\\fR", ""},
      {"\\fI", ""},    {"\\fP", ""}};
  std::string text;
  std::istringstream in(roff);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '.') {
      size_t blank = line.find(' ');
      line = blank == std::string::npos ? "" : line.substr(blank + 1);
    }
    std::string kept;
    for (char c : line)
      if (c != '"') kept += c;
    for (const auto &e : kEscapes) {
      for (size_t at = kept.find(e.first); at != std::string::npos;
           at = kept.find(e.first, at + strlen(e.second)))
        kept.replace(at, strlen(e.first), e.second);
    }
    text += kept + " ";
  }
  std::string collapsed;
  for (char c : text)
    if (!(c == ' ' && !collapsed.empty() && collapsed.back() == ' ')) collapsed += c;
  return collapsed;
}

std::string Pages(const std::vector<std::string> &names) {
  std::string all;
  for (const auto &n : names) {
    std::string roff = ReadFile(std::string(SOURCE_DIR) + "/man/" + n);
    EXPECT_FALSE(roff.empty()) << "man/" << n << " is missing";
    all += PlainText(roff);
  }
  return all;
}

std::vector<std::string> Lines(const std::string &s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
    // "Max connections is 0. ..." has no line end of its own, so the next
    // message shares its line.
    size_t joined = line.find("Configuration is faulty!");
    if (joined != std::string::npos && joined > 0) {
      out.push_back(line.substr(0, joined));
      line = line.substr(joined);
    }
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

// Lines of `printed` that the pages do not show. The reader's missing-line
// message is documented once, with one key: for the others the key itself
// must be documented. Values the pages show by example are mapped to it.
std::vector<std::string> Undocumented(const std::string &printed, const std::string &pages) {
  static const std::regex kMissing("^The line '(.*)' is missing\\.$");
  static const std::regex kQuota("^DiskQuota .* entry is not valid\\.$");
  static const std::regex kCommand("^AddCommand parameter .* is not valid\\.$");
  static const std::regex kFileLimit(
      "^WARNING! The open file limit is \\d+; MaxConnections=\\d+ needs \\d+\\.$");
  // Messages that name a value or a path: the pages show them with a
  // placeholder word.
  static const std::pair<std::regex, const char *> kNamed[] = {
      // A listening socket's failure: where, then the system's reason.
      {std::regex("^\\[?[^ ]*\\]?:[0-9]+: (.*)$"), "$1"},
      {std::regex("^(Data)?Port=.* is not a port number from 1 to 65535\\.$"),
       "$1Port=value is not a port number from 1 to 65535."},
      {std::regex("^LogDir .* does not exist or is not a directory\\.$"),
       "LogDir path does not exist or is not a directory."},
      {std::regex("^Web root directory .* does not exist or is not a directory\\.$"),
       "Web root directory path does not exist or is not a directory."},
      {std::regex("^WARNING! (AddVirtual|AddHost) entry .*: .* does not exist or is not a "
                  "directory\\.$"),
       "WARNING! $1 entry name: path does not exist or is not a directory."},
      {std::regex("^WARNING! Account .*: RootDirectory .* does not exist or is not a "
                  "directory\\.$"),
       "WARNING! Account name: RootDirectory path does not exist or is not a directory."},
      {std::regex("^Account .*: RootDirectory .* does not exist or is not a directory; its "
                  "logins are refused\\.$"),
       "Account name: RootDirectory path does not exist or is not a directory; its logins "
       "are refused."},
      {std::regex("^WARNING! (Account|AddUser) [^ ]*: (.*)$"), "WARNING! $1 name: $2"},
      {std::regex("^AddUser entry for .* holds"), "AddUser entry for name holds"},
      {std::regex("^UploadMode=.* is not an octal"), "UploadMode=value is not an octal"},
      // A refused value in the reader's own words: the pages show each form
      // once, for any key.
      {std::regex("^[A-Za-z]+=.* is not a whole number from -?[0-9]+ to [0-9]+\\.$"),
       "KEY=value is not a whole number from LOW to HIGH."},
      {std::regex("^[A-Za-z]+=.* is not 0 or 1\\.$"), "KEY=value is not 0 or 1."},
      {std::regex("^[A-Za-z]+= is longer than [0-9]+ characters\\.$"),
       "KEY= is longer than N characters."},
      {std::regex("^([A-Za-z]+)=.* is not (.*)$"), "$1=value is not $2"},
  };
  // An account's messages carry its name in front: the pages show them
  // without it.
  static const std::regex kAccount("^Account [A-Za-z0-9_]+: (.*)$");
  static const std::regex kPlace("^/[^ ]*:[0-9]+: ");
  std::vector<std::string> missing;
  for (std::string line : Lines(printed)) {
    std::smatch m;
    if (line.find("does not exist") == std::string::npos)
      line = std::regex_replace(line, kAccount, "$1");
    // A fault about one line of a file names it first ("FILE:LINE: ").
    line = std::regex_replace(line, kPlace, "");
    if (std::regex_match(line, m, kMissing)) {
      if (pages.find("The line '") == std::string::npos ||
          pages.find(m[1].str()) == std::string::npos)
        missing.push_back(line);
      continue;
    }
    line = std::regex_replace(line, kQuota, "DiskQuota abc entry is not valid.");
    line = std::regex_replace(line, kCommand, "AddCommand parameter retr is not valid.");
    line = std::regex_replace(line, kFileLimit,
                              "WARNING! The open file limit is 1024; MaxConnections=5000 "
                              "needs 10064.");
    for (const auto &named : kNamed) line = std::regex_replace(line, named.first, named.second);
    if (pages.find(line) == std::string::npos) missing.push_back(line);
  }
  return missing;
}

std::string Join(const std::vector<std::string> &v) {
  std::string s;
  for (const auto &l : v) s += "  " + l + "\n";
  return s;
}

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs the program in `dir` with its configuration under the default name.
// A server that starts is stopped with SIGTERM once its banner is out.
Outcome RunServer(const std::string &program, const std::string &dir,
                  const std::vector<std::string> &args = {}) {
  Outcome o;
  Process p;
  std::vector<std::string> argv{Bin(program)};
  argv.insert(argv.end(), args.begin(), args.end());
  if (!p.Start(argv, dir)) {
    ADD_FAILURE() << "cannot start " << program;
    return o;
  }
  WaitFor([&] { return !p.Running() || p.Stdout().find(kWaiting) != std::string::npos; });
  o.status = p.Running() ? p.Stop() : p.Wait();
  o.out = p.Stdout();
  o.err = p.Stderr();
  return o;
}

class DocumentedMessagesBase : public ::testing::Test {
 protected:
  void Need(const std::string &program) {
    if (!Exists(Bin(program))) GTEST_SKIP() << program << " is not built";
  }
  // Writes the configuration, runs the server, and checks every console
  // line against the pages and the exit status against `status` (any
  // status when it is -1).
  Outcome Check(const std::string &program, const std::string &config, int status,
                const std::vector<std::string> &args = {}) {
    TempDir dir;
    WriteFile(dir / (program + ".ini"), config);
    Outcome o = RunServer(program, dir.path(), args);
    if (status != -1) {
      EXPECT_EQ(status, o.status) << "configuration:\n" << config;
    }
    auto err = Undocumented(o.err, pages_);
    EXPECT_TRUE(err.empty()) << "printed on standard error but not in the manual:\n"
                             << Join(err) << "configuration:\n" << config;
    // Banners carry the configured values; lines without digits or paths
    // are fixed texts the pages must show.
    std::string fixed;
    for (const auto &l : Lines(o.out))
      if (l.find_first_of("0123456789/") == std::string::npos) fixed += l + "\n";
    auto out = Undocumented(fixed, pages_);
    EXPECT_TRUE(out.empty()) << "printed on standard output but not in the manual:\n"
                             << Join(out) << "configuration:\n" << config;
    return o;
  }
  std::string pages_;
};

class DocumentedZolfMessages : public DocumentedMessagesBase {
 protected:
  void SetUp() override {
    Need("zolf");
    pages_ = Pages({"zolf.8", "zolf.ini.5"});
    port_ = std::to_string(FreePort());
  }
  std::string port_;
};

class DocumentedMirtMessages : public DocumentedMessagesBase {
 protected:
  void SetUp() override {
    Need("mirt");
    pages_ = Pages({"mirt.8", "mirt.ini.5"});
    port_ = std::to_string(FreePort());
  }
  std::string port_;
};

const int kZolfFatal = 255;  // exit(-1)
const int kMirtFatal = 1;

TEST_F(DocumentedZolfMessages, Defaults) {
  // MaxUsers=0 makes zolf stop right after its banners.
  Check("zolf", "; c\nMaxUsers=0\nPort=" + port_ + "\n", 0);
  Outcome o = Check("zolf", "; c\nMaxUsers=0\nPort=" + port_ + "\nLogRotation=10000\n" +
                                "LogDir=CONSOLE\n",
                    0);
  EXPECT_NE(o.err.find("Using LogRotation=9999."), std::string::npos) << o.err;
  // Port 21 may be taken or need privileges: either ending is documented.
  Check("zolf", "; c\nMaxUsers=0\n", -1);
}

TEST_F(DocumentedZolfMessages, FatalFaults) {
  const std::string p = "\nPort=" + port_ + "\n";
  std::string table = "; c\n";
  for (int i = 0; i < 300; i++) table += "x=1\n";
  const std::vector<std::string> configs = {
      "; c\nMaxUsers=10\nPort=6005\nDataPort=6000\n",
      "; c\nMaxUsers=10" + p + "DataPort=65530\n",
      // Values of the wrong form or out of range.
      "; c\nMaximumBandwidth=q\nMaxUsers=0" + p,
      "; c\nTimeoutTime=-5\nMaxUsers=0" + p,
      "; c\nExternIP=ftp.example.org/x\nMaxUsers=0" + p,
      "; c\nMaxUsers=0" + p + "TLSCertificate=/" + std::string(5000, 'c') + "\n",
      "; c\nAddress=\nMaxUsers=0" + p,
      "; c\nAddress=127.0.0.1\nExternIP=\nMaxUsers=0" + p,
      "; c\nAddress=AUTO\nMaxUsers=0" + p,
      "; c\nMaxUsers=0" + p + "LogMaxAge=0\n",
      "; c\nAddress=300.1.1.1\nMaxUsers=0" + p,
      "; c\nMaxUsers=0\nPort=abc\n",
      "; c\nMaxUsers=0" + p + "DataPort=70000\n",
      "; c\nMaxUsers=0" + p + "LogRotation=1\nLogDir=/nonexistent/x\n",
      table,
      "",
  };
  for (const auto &config : configs) {
    Outcome o = Check("zolf", config, kZolfFatal);
    EXPECT_FALSE(o.err.empty()) << config;
  }
}

TEST_F(DocumentedZolfMessages, UsageText) {
  Outcome o = Check("zolf", "; c\n", 2, {"-x"});
  EXPECT_NE(o.err.find("ZOLF by Orvald."), std::string::npos);
}

TEST_F(DocumentedZolfMessages, RefusedAccounts) {
  TempDir dir;
  WriteFile(dir / "zolf.ini", "; c\nMaxUsers=20\nPort=" + port_ + "\nDataPort=7000\n");
  MakeDirs(dir / "accounts");
  // A tree of its own: the server looks through every root when it starts.
  MakeDirs(dir / "tree");
  const std::string base = "; a\nPassWord=x\nAllowIPAddress=ALL\nCloseIfIdle=no\nRootDirectory=" +
                           (dir / "tree") + "\nDiskQuota=0\n";
  auto without = [&](const std::string &key) {
    std::string s = base;
    size_t at = s.find(key);
    return s.erase(at, s.find('\n', at) - at + 1);
  };
  auto with = [&](const std::string &key, const std::string &line) {
    std::string s = without(key);
    return s + line + "\n";
  };
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"root1", with("RootDirectory=", "RootDirectory=/")},
      {"root2", with("RootDirectory=", "RootDirectory=relative")},
      {"root3", with("RootDirectory=", "RootDirectory=")},
      {"root4", without("RootDirectory=")},
      {"quota1", with("DiskQuota=", "DiskQuota=99999999999999999999")},
      {"quota2", with("DiskQuota=", "DiskQuota=abc")},
      {"quota3", without("DiskQuota=")},
      {"cmd1", base + "AddCommand=\nAddCommand=retr\n"},
      {"cmd2", base + "AddCommand=NOOP\n"},
      {"idle", with("CloseIfIdle=", "CloseIfIdle=maybe")},
      {"full", base + "AllowFullBandwidth=always\n"},
      {"from", with("AllowIPAddress=", "AllowIPAddress=10.0.0.300")},
      {"pass", without("PassWord=")},
      {"addr", without("AllowIPAddress=")},
  };
  for (const auto &a : refused) WriteFile(dir / ("accounts/" + a.first + ".ini"), a.second);
  WriteFile(dir / "accounts/accepted.ini", without("CloseIfIdle="));
  // Accepted, but its root is missing: a warning at the start.
  WriteFile(dir / "accounts/ghost.ini", with("RootDirectory=", "RootDirectory=/nonexistent/g"));

  Process p;
  ASSERT_TRUE(p.Start({Bin("zolf")}, dir.path()));
  ASSERT_TRUE(WaitFor([&] { return p.Stdout().find(kWaiting) != std::string::npos; }))
      << p.Stderr();
  // Each login from an address of its own: the server shuts out an address
  // after a few failed logins.
  int from = 10;
  auto login = [&](const std::string &user) {
    Conn c;
    if (!c.Connect((unsigned)std::stoul(port_), "127.0.0.1", "127.0.0." + std::to_string(from++)))
      return std::string("no connection");
    c.ReadLine();
    c.Send("USER " + user + "\r\n");
    std::string reply = c.ReadLine();
    if (reply != "331 User name okay, need password.\r\n") return reply;
    // A refused account is found out at PASS only, even with the password
    // its file names.
    c.Send("PASS x\r\n");
    return c.ReadLine();
  };
  for (const auto &a : refused)
    EXPECT_EQ("530 Login incorrect.\r\n", login(a.first)) << a.first;
  EXPECT_EQ("230 Welcome!\r\n", login("accepted"));
  EXPECT_EQ(0, p.Stop());
  auto err = Undocumented(p.Stderr(), pages_);
  EXPECT_TRUE(err.empty()) << "account messages not in the manual:\n" << Join(err);
  // Every refusal above printed its own reason.
  EXPECT_NE(p.Stderr().find("RootDirectory entry cannot be zero length."), std::string::npos);
  EXPECT_NE(p.Stderr().find("Using CloseIfIdle=no."), std::string::npos);
  // A refused value names the account, its file and line.
  EXPECT_NE(p.Stderr().find("Account full: " + (dir / "accounts/full.ini") +
                            ":7: AllowFullBandwidth=always is not yes or no."),
            std::string::npos)
      << p.Stderr();
  EXPECT_NE(p.Stderr().find("Account ghost: RootDirectory /nonexistent/g"), std::string::npos);
}

TEST_F(DocumentedMirtMessages, DefaultsAndWarnings) {
  Check("mirt", "; c\nPort=" + port_ + "\nAddVirtual=/;/tmp\n", 0);
  Outcome o = Check("mirt", "; c\nPort=" + port_ +
                                "\nMaxConnections=2000000\nAddVirtual=/;/tmp\n",
                    0);
  EXPECT_NE(o.err.find("MaxConnections is above"), std::string::npos) << o.err;
  o = Check("mirt", "; c\nPort=" + port_ + "\nAddHost=a;/nonexistent/a\nAddHost=b;/tmp\n" +
                        "AddVirtual=/p/;/nonexistent/p\nAddVirtual=/;/tmp\n", 0);
  EXPECT_NE(o.err.find("WARNING! AddHost entry a: /nonexistent/a"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("WARNING! AddVirtual entry /p/: /nonexistent/p"), std::string::npos)
      << o.err;
}

TEST_F(DocumentedMirtMessages, FatalFaults) {
  const std::string p = "; c\nPort=" + port_ + "\n";
  const std::string v = "AddVirtual=/;/tmp\n";
  std::string table = "; c\n";
  for (int i = 0; i < 300; i++) table += "x=1\n";
  const std::vector<std::string> configs = {
      p + "MaxConnections=0\n" + v,
      p + "DirectoryListing=x\n" + v,
      p + "ShowProtectedFiles=x\n" + v,
      p + "AddType=\n" + v,
      p + "AddType=.htm\n" + v,
      p + "AddType=.htm;\n" + v,
      p + "AddForbidden=\n" + v,
      p + "AddUser=a\n" + v,
      p + "AddIndex=0123456789abcdef\n" + v,
      p + "AddIndex=a/b\n" + v,
      p + "AddHost=\n" + v,
      p + "AddHost=a\n" + v,
      p + "AddHost=a;\n" + v,
      p + "AddHost=a;/" + std::string(PATH_MAX - 1, 'h') + "\n" + v,
      p + "AddHost=a;x\n" + v,
      p + "AddHost=a;www\n" + v,
      p + "AddVirtual=\n",
      p + "AddVirtual=/\n",
      p + "AddVirtual=/;\n",
      p + "AddVirtual=/;x\n",
      p + "AddVirtual=/;www\n",
      p + "AddVirtual=/;/" + std::string(PATH_MAX - 1, 'v') + "\n",
      p,
      p + "Address=\n" + v,
      p + "ExternIP=\n" + v,
      p + "Address=AUTO\n" + v,
      p + v + "LogMaxAge=0\n",
      p + "Address=300.1.1.1\n" + v,
      "; c\nPort=http\n" + v,
      "; c\nPort=98616\n" + v,
      p + "AddVirtual=/;/nonexistent/w\n",
      p + v + "LogRotation=1\nLogDir=/nonexistent/x\n",
      p + v + "LogFormat=apache\n",
      p + "ExtendedMessages=\n" + v,
      p + "MaxPerAddress=-1\n" + v,
      table,
      "",
  };
  for (const auto &config : configs) {
    Outcome o = Check("mirt", config, kMirtFatal);
    EXPECT_FALSE(o.err.empty()) << config;
  }
}

TEST_F(DocumentedMirtMessages, UsageText) {
  Outcome o = Check("mirt", "; c\n", 2, {"-x"});
  EXPECT_NE(o.err.find("Mirt HTTP Server By Orvald."), std::string::npos);
}

}  // namespace
