// Account files and the quota record: each refusal with its console
// message, the grants, and the 8-byte record read at login and written back
// at the end.
#include <gtest/gtest.h>

#include <climits>
#include <regex>

#include "accounts.h"
#include "harness.h"
#include "quota_records.h"
#include "session_fixture.h"

namespace {

struct Accounts : TestSession {
  harness::TempDir dir;
  std::string err;
  Accounts() : TestSession("10.0.0.7") {
    snprintf(server.homeDirectory, sizeof server.homeDirectory, "%s", dir.path().c_str());
    harness::MakeDirs(dir / "accounts");
  }
  void Write(const std::string &name, const std::string &keys) {
    harness::WriteFile(dir / ("accounts/" + name + ".ini"), "; account\n" + keys);
  }
  // OpenAccount for `name` in a fresh session; the console goes to err.
  int Open(const std::string &name) {
    for (Request *r = server.requests; r;) r = CloseRequest(r);
    req = AddRequest(-1, &server, "10.0.0.7");
    HoldCommandSpace(req);
    snprintf(req->cmnd.space->argument, sizeof req->cmnd.space->argument, "%s", name.c_str());
    testing::internal::CaptureStderr();
    int result = OpenAccount(req);
    err = testing::internal::GetCapturedStderr();
    return result;
  }
  std::string Record() { return harness::ReadFile(dir / "accounts/bob.dsk"); }
};

const char kGood[] =
    "PassWord=pw\nAllowIPAddress=ALL\nCloseIfIdle=yes\nAllowFullBandwidth=yes\n"
    "RootDirectory=/srv/\nDiskQuota=0\n";

std::string Words(uint32_t a, uint32_t b) {
  std::string s;
  for (uint32_t v : {a, b})
    for (int i = 0; i < 4; i++) s += (char)(v >> (8 * i) & 0xff);
  return s;
}

// The record as written now: the two words, then the bytes stored in 64 bits.
std::string Record(uint64_t limit, uint64_t stored) {
  std::string s = Words(limit > UINT32_MAX ? UINT32_MAX : (uint32_t)limit,
                        stored > UINT32_MAX ? UINT32_MAX : (uint32_t)stored);
  for (int i = 0; i < 8; i++) s += (char)(stored >> (8 * i) & 0xff);
  return s;
}

}  // namespace

TEST(FtpAccounts, GoodAccountFillsTheSession) {
  Accounts a;
  a.Write("bob", std::string(kGood) + "AddCommand=RETR\nAddCommand=LIST\n"
                                      "AddCommand=RMD_RECURSIVE\n");
  ASSERT_EQ(a.Open("bob"), 0) << a.err;
  EXPECT_EQ(a.err, "");
  EXPECT_STREQ(a.req->login.userName, "bob");
  EXPECT_EQ(a.req->login.passWord, "pw");
  EXPECT_EQ(a.req->login.closeIfIdle, '1');
  EXPECT_EQ(a.req->login.fullBandwidth, '1');
  EXPECT_EQ(a.req->login.root, "/srv");  // one trailing '/' gone
  EXPECT_EQ(a.req->login.permissions[kRETR], '1');
  EXPECT_EQ(a.req->login.permissions[kLIST], '1');
  EXPECT_EQ(a.req->login.permissions[kRMD], '1');
  EXPECT_EQ(a.req->login.permissions[kRMD_RECURSIVE], '1');
  EXPECT_NE(a.req->login.permissions[kSTOR], '1');
  EXPECT_NE(a.req->login.permissions[kTYPE], '1');
  EXPECT_FALSE(harness::Exists(a.dir / "accounts/bob.dsk"));  // no quota, no file
}

TEST(FtpAccounts, DefaultsForOptionalKeys) {
  Accounts a;
  a.Write("bob", "PassWord=\nAllowIPAddress=10.0.0.7\nRootDirectory=/srv\nDiskQuota=0\n");
  ASSERT_EQ(a.Open("bob"), 0);
  EXPECT_EQ(a.err, "Account bob: The line 'CloseIfIdle=' is missing.\n"
                   "Account bob: Using CloseIfIdle=no.\n");
  EXPECT_EQ(a.req->login.closeIfIdle, '0');
  EXPECT_EQ(a.req->login.fullBandwidth, '0');
  EXPECT_EQ(a.req->login.passWord, "");
}

TEST(FtpAccounts, BadNamesAreRefusedSilently) {
  Accounts a;
  a.Write("bob", kGood);
  for (const char *name : {"bob.smith", "../bob", "bo b", "", "bob/x",
                           "abcdefghijabcdefghijabcdefghijab"}) {
    EXPECT_EQ(a.Open(name), -1) << name;
    EXPECT_EQ(a.err, "") << name;
  }
  EXPECT_EQ(a.Open("nobody"), -1);  // no account file
  EXPECT_EQ(a.err, "");
  a.Write("abcdefghijabcdefghijabcdefghija", kGood);  // 31 characters: fine
  EXPECT_EQ(a.Open("abcdefghijabcdefghijabcdefghija"), 0);
}

TEST(FtpAccounts, EachRefusedKeyNamesItself) {
  struct Case {
    std::string keys, message;
  };
  const std::string ip = "AllowIPAddress=ALL\n";
  const std::string root = "RootDirectory=/srv\n";
  const std::vector<Case> cases = {
      {"AllowIPAddress=ALL\n", "The line 'PassWord=' is missing.\nPassWord entry is not valid.\n"},
      {"PassWord=" + std::string(129, 'p') + "\n" + ip,
       "PassWord= is longer than 128 characters.\n"},
      {"PassWord=x\n", "The line 'AllowIPAddress=' is missing.\nAllowIPAddress entry is not valid.\n"},
      {"PassWord=x\nAllowIPAddress=10.0.0.8\n", ""},
      {"PassWord=x\n" + ip + "CloseIfIdle=maybe\n", "CloseIfIdle must be either yes or no.\n"},
      {"PassWord=x\n" + ip + "CloseIfIdle=no\nAllowFullBandwidth=no\n",
       "The line 'RootDirectory=' is missing.\nRootDirectory entry is not valid.\n"},
      {"PassWord=x\n" + ip + "CloseIfIdle=no\nAllowFullBandwidth=no\nRootDirectory=\n",
       "RootDirectory entry cannot be zero length.\n"},
      {"PassWord=x\n" + ip + "CloseIfIdle=no\nAllowFullBandwidth=no\nRootDirectory=/\n",
       "RootDirectory entry is not valid (full path must be specified).\n"},
      {"PassWord=x\n" + ip + "CloseIfIdle=no\nAllowFullBandwidth=no\nRootDirectory=x\n",
       "RootDirectory entry is not valid (full path must be specified).\n"},
      {"PassWord=x\n" + ip + "CloseIfIdle=no\nAllowFullBandwidth=no\nRootDirectory=srv/ftp\n",
       "RootDirectory entry is not valid (full path must be specified).\n"},
      {"PassWord=x\n" + ip + "CloseIfIdle=no\nAllowFullBandwidth=no\nRootDirectory=c:\\ftp\n",
       "RootDirectory entry is not valid (full path must be specified).\n"},
      {"PassWord=x\n" + ip + "CloseIfIdle=no\nAllowFullBandwidth=no\nRootDirectory=/" +
           std::string(PATH_MAX, 'r') + "\n",
       "RootDirectory= is longer than 4095 characters.\n"},
      {"PassWord=x\n" + ip + "CloseIfIdle=no\nAllowFullBandwidth=always\n",
       "AllowFullBandwidth=always is not yes or no.\n"},
      {"PassWord=x\nAllowIPAddress=10.0.0.256\n",
       "AllowIPAddress=10.0.0.256 is not ALL or an IPv4 or IPv6 address.\n"},
      {"PassWord=x\n" + ip + "CloseIfIdle=no\n" + root + "DiskQuota=0\nAddCommand=\n",
       "AddCommand cannot be zero length.\n"},
      {"PassWord=x\n" + ip + "CloseIfIdle=no\nAllowFullBandwidth=no\nRootDirectory=/srv/none\n",
       "Account bob: RootDirectory /srv/none does not exist or is not a directory; "
       "its logins are refused.\n"},
      {"PassWord=x\n" + ip + "CloseIfIdle=no\nAllowFullBandwidth=no\n" + root,
       "The line 'DiskQuota=' is missing.\nDiskQuota entry is not valid.\n"},
      {"PassWord=x\n" + ip + "CloseIfIdle=no\nAllowFullBandwidth=no\n" + root + "DiskQuota=abc\n",
       "DiskQuota abc entry is not valid.\n"},
      {"PassWord=x\n" + ip + "CloseIfIdle=no\nAllowFullBandwidth=no\n" + root +
           "DiskQuota=99999999999999999999\n",
       "DiskQuota 99999999999999999999 entry is not valid.\n"},
      {"PassWord=x\n" + ip + "CloseIfIdle=no\nAllowFullBandwidth=no\n" + root + "DiskQuota=-1\n",
       "DiskQuota -1 entry is not valid.\n"},
      {"PassWord=x\n" + ip + "CloseIfIdle=no\nAllowFullBandwidth=no\n" + root +
           "DiskQuota=0\nAddCommand=retr\n",
       "AddCommand parameter retr is not valid.\n"},
      {"PassWord=x\n" + ip + "CloseIfIdle=no\nAllowFullBandwidth=no\n" + root +
           "DiskQuota=0\nAddCommand=NOOP\n",
       "AddCommand parameter NOOP is not valid.\n"},
  };
  // A refused value's line: the account, then the file and line.
  const std::regex where("Account bob: /[^ ]*/accounts/bob\\.ini:[0-9]+: ");
  for (const Case &c : cases) {
    Accounts a;
    a.Write("bob", c.keys);
    EXPECT_EQ(a.Open("bob"), -1) << c.keys;
    bool located = std::regex_search(a.err, where);
    a.err = std::regex_replace(a.err, where, "Account bob: ");
    // A missing key stands on no line; any other fault said does.
    EXPECT_EQ(located, !c.message.empty() && c.message.find("is missing") == std::string::npos &&
                           c.message.find("does not exist") == std::string::npos)
        << c.keys << a.err;
    // Each message names the account.
    std::string named;
    for (size_t at = 0, end; (end = c.message.find('\n', at)) != std::string::npos; at = end + 1)
      named += (c.message.compare(at, 8, "Account ") == 0 ? "" : "Account bob: ") +
               c.message.substr(at, end + 1 - at);
    EXPECT_EQ(a.err, named) << c.keys;
  }
}

TEST(FtpAccounts, QuotaNumbers) {
  Accounts a;
  const std::string base = "PassWord=x\nAllowIPAddress=ALL\nCloseIfIdle=no\n"
                           "AllowFullBandwidth=no\nRootDirectory=/srv\n";
  a.Write("bob", base + "DiskQuota=1M\n");  // no unit: not a number of bytes
  ASSERT_EQ(a.Open("bob"), -1);
  EXPECT_NE(a.err.find("bob.ini:7: DiskQuota 1M entry is not valid.\n"), std::string::npos)
      << a.err;
  // The largest quota, and the longest root the system opens (PATH_MAX - 1
  // characters, in directories of 100 to 199).
  std::string longest = a.dir.path();
  while (PATH_MAX - 1 - longest.size() > 200) longest += "/" + std::string(100, 'r');
  longest += "/" + std::string(PATH_MAX - 2 - longest.size(), 'r');
  harness::MakeDirs(longest);
  a.Write("bob", "PassWord=x\nAllowIPAddress=ALL\nCloseIfIdle=no\nAllowFullBandwidth=no\n"
                 "RootDirectory=" + longest + "\nDiskQuota=4294967295\n");
  ASSERT_EQ(a.Open("bob"), 0);
  EXPECT_EQ(a.req->login.diskQuota, 4294967295u);
  EXPECT_EQ(a.req->login.root.size(), size_t{PATH_MAX - 1});
}

TEST(FtpAccounts, QuotaRecordIsReadAtLoginAndWrittenBackAtTheEnd) {
  Accounts a;
  a.Write("bob", "PassWord=x\nAllowIPAddress=ALL\nCloseIfIdle=no\nAllowFullBandwidth=no\n"
                 "RootDirectory=/srv\nDiskQuota=500\n");
  ASSERT_EQ(a.Open("bob"), 0);
  // First login: an empty record file, the account's quota, nothing stored.
  EXPECT_TRUE(harness::Exists(a.dir / "accounts/bob.dsk"));
  EXPECT_EQ(a.Record(), "");
  EXPECT_EQ(QuotaLimit(a.req), 500u);
  EXPECT_EQ(DiskUsage(a.req), 0u);
  ChargeQuota(a.req, 300);
  CloseRequest(a.req);
  a.req = nullptr;
  EXPECT_EQ(a.Record(), Record(500, 300));

  // A quota raised in the account file applies at the next login; the
  // record keeps the bytes stored.
  a.Write("bob", "PassWord=x\nAllowIPAddress=ALL\nCloseIfIdle=no\nAllowFullBandwidth=no\n"
                 "RootDirectory=/srv\nDiskQuota=9000000000\n");
  ASSERT_EQ(a.Open("bob"), 0);
  EXPECT_EQ(QuotaLimit(a.req), 9000000000u);
  EXPECT_EQ(DiskUsage(a.req), 300u);
  // Beyond 4 GiB the figure is kept whole.
  const uint64_t big = 5000000000u;
  ChargeQuota(a.req, (int64_t)(big - 300));
  CloseRequest(a.req);
  a.req = nullptr;
  EXPECT_EQ(a.Record(), Record(9000000000u, big));
  ASSERT_EQ(a.Open("bob"), 0);
  EXPECT_EQ(DiskUsage(a.req), big);
  CloseRequest(a.req);
  a.req = nullptr;
  // An older zolf that rewrote the first 8 bytes since is believed.
  std::string mixed = Words(9000, 4000) + Record(9000, big).substr(8);
  harness::WriteFile(a.dir / "accounts/bob.dsk", mixed);
  ASSERT_EQ(a.Open("bob"), 0);
  EXPECT_EQ(DiskUsage(a.req), 4000u);
}

TEST(FtpAccounts, SessionsWithoutARecordNeverOverwriteIt) {
  Accounts a;
  harness::WriteFile(a.dir / "accounts/bob.dsk", Words(1000, 123));
  // DiskQuota=0: nothing read, nothing written.
  a.Write("bob", "PassWord=x\nAllowIPAddress=ALL\nCloseIfIdle=no\nAllowFullBandwidth=no\n"
                 "RootDirectory=/srv\nDiskQuota=0\n");
  ASSERT_EQ(a.Open("bob"), 0);
  EXPECT_EQ(QuotaLimit(a.req), 0u);
  CloseRequest(a.req);
  a.req = nullptr;
  EXPECT_EQ(a.Record(), Words(1000, 123));
  // A refused login (address not allowed) after the name was taken.
  a.Write("bob", "PassWord=x\nAllowIPAddress=10.9.9.9\nRootDirectory=/srv\nDiskQuota=5\n");
  ASSERT_EQ(a.Open("bob"), -1);
  EXPECT_STREQ(a.req->login.userName, "bob");
  CloseRequest(a.req);
  a.req = nullptr;
  EXPECT_EQ(a.Record(), Words(1000, 123));
}

TEST(FtpAccounts, UpdateQuotaNeverCreatesTheFile) {
  Accounts a;
  a.Write("bob", "PassWord=x\nAllowIPAddress=ALL\nCloseIfIdle=no\nAllowFullBandwidth=no\n"
                 "RootDirectory=/srv\nDiskQuota=10\n");
  ASSERT_EQ(a.Open("bob"), 0);
  remove((a.dir / "accounts/bob.dsk").c_str());
  EXPECT_EQ(UpdateQuota(a.req), -1);
  EXPECT_FALSE(harness::Exists(a.dir / "accounts/bob.dsk"));
}
