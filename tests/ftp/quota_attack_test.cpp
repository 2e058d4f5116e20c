// A user out to escape the disk quota: a restart offset far behind the end,
// two sessions that each keep their own count, a STOR near the limit over
// a good file. And a mixed run of two sessions at once, after which the
// record holds exactly the bytes stored.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <thread>

#include "data_fixture.h"
#include "hostile_fixture.h"
#include "zolf_fixture.h"

using harness::Conn;
using harness::Exists;
using harness::ReadFile;

namespace {

const char kQuotaReached[] = "452 Disk quota reached.";

void QuotaAccount(Zolf &z, const std::string &name, unsigned quota) {
  harness::MakeDirs(z.Root());
  std::string keys = "PassWord=pw\nAllowIPAddress=ALL\nCloseIfIdle=no\nAllowFullBandwidth=yes\n"
                     "RootDirectory=" + z.Root() + "\nDiskQuota=" + std::to_string(quota) + "\n";
  for (const char *word : {"PASV", "STOR", "APPE", "RETR", "DELE", "MKD", "RMD_RECURSIVE",
                           "RNFR", "RNTO", "SIZE", "CWD"})
    keys += std::string("AddCommand=") + word + "\n";
  z.Account(name, keys);
}

// The bytes stored according to the account's record; -1 when it has none.
long long RecordedUsage(const Zolf &z, const std::string &name) {
  std::string r = ReadFile(z.dir / ("accounts/" + name + ".dsk"));
  if (r.empty()) return 0;  // made at the first login, nothing stored yet
  // Two 32-bit words (quota, bytes stored), then the bytes stored in 64 bits.
  if (r.size() != 16) return -1;
  uint64_t usage;
  memcpy(&usage, r.data() + 8, 8);
  return (long long)usage;
}

// RecordedUsage once it holds `expected` (the server's worker writes it
// just after the reply), or as it is after a while.
long long SettledUsage(const Zolf &z, const std::string &name, long long expected) {
  long long now = -1;
  harness::WaitFor([&] { return (now = RecordedUsage(z, name)) == expected; });
  return now;
}

// Sizes of all regular files below dir, added up.
long long BytesBelow(const std::string &dir) {
  long long total = 0;
  DIR *d = opendir(dir.c_str());
  if (!d) return 0;
  while (struct dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    std::string path = dir + "/" + name;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) total += BytesBelow(path);
    if (S_ISREG(st.st_mode)) total += st.st_size;
  }
  closedir(d);
  return total;
}

// An upload that starts at a restart offset: PASV, REST, the command.
Transfer UploadAt(Conn &c, const std::string &offset, const std::string &command,
                  const std::string &bytes) {
  Transfer t;
  Conn data;
  if (!OpenPassive(c, data, &t.start)) return t;
  t.start = Cmd(c, "REST " + offset);
  if (t.start.rfind("350 ", 0) != 0) return t;
  t.start = Cmd(c, command);
  if (t.start.rfind("150 ", 0) != 0) return t;
  data.Send(bytes);
  data.Close();
  t.end = c.ReadLine(30);
  return t;
}

bool LoginQuota(Zolf &z, Conn &c) {
  return z.Connect(c) && Cmd(c, "USER q").rfind("331 ", 0) == 0 &&
         Cmd(c, "PASS pw").rfind("230 ", 0) == 0;
}

}  // namespace

TEST(FtpQuota, RestFarBehindTheEndIsChargedInFull) {
  Zolf z;
  QuotaAccount(z, "q", 10000);
  ASSERT_TRUE(StartQuietly(z));
  Conn c;
  ASSERT_TRUE(LoginQuota(z, c));
  // A 5 GB sparse file for nothing: refused before a byte is written.
  Transfer t = UploadAt(c, "5000000000", "STOR f", "x");
  EXPECT_EQ(Text(t.start), kQuotaReached);
  struct stat st;
  EXPECT_TRUE(stat((z.Root() + "/f").c_str(), &st) != 0 || st.st_size == 0);
  EXPECT_EQ(SettledUsage(z, "q", 0), 0);
  // Its DELE gives nothing back that was never charged.
  Cmd(c, "DELE f");
  EXPECT_EQ(SettledUsage(z, "q", 0), 0);

  // A gap that fits is stored bytes like any others, and comes back whole.
  t = UploadAt(c, "3000", "STOR g", std::string(1000, 'g'));
  EXPECT_EQ(Text(t.end), "226 Transfer complete.");
  EXPECT_EQ(Text(Cmd(c, "SIZE g")), "213 4000");
  EXPECT_EQ(SettledUsage(z, "q", 4000), 4000);
  EXPECT_EQ(Text(Cmd(c, "DELE g")), "250 File deleted. Disk usage is 0/10000 bytes.");
  EXPECT_EQ(SettledUsage(z, "q", 0), 0);
}

TEST(FtpQuota, SessionsOfOneAccountShareOneCount) {
  Zolf z;
  QuotaAccount(z, "q", 100000);
  ASSERT_TRUE(StartQuietly(z));
  Conn idle, busy;
  ASSERT_TRUE(LoginQuota(z, idle));
  ASSERT_TRUE(LoginQuota(z, busy));
  Transfer t = Upload(busy, "STOR a", std::string(3000, 'a'));
  ASSERT_EQ(Text(t.end), "226 Transfer complete.");
  // Written at once, while both sessions still run.
  EXPECT_EQ(SettledUsage(z, "q", 3000), 3000);
  // The session that logged in earlier and did nothing ends without
  // undoing what the other one stored meanwhile.
  EXPECT_EQ(Text(Cmd(idle, "QUIT")), "221 Goodbye!");
  ASSERT_TRUE(idle.Closed());
  EXPECT_EQ(SettledUsage(z, "q", 3000), 3000);
  t = Upload(busy, "APPE a", std::string(500, 'b'));
  t = Upload(busy, "STOR b", std::string(1500, 'c'));
  EXPECT_EQ(SettledUsage(z, "q", 5000), 5000);
  EXPECT_EQ(Text(Cmd(busy, "QUIT")), "221 Goodbye!");
  ASSERT_TRUE(busy.Closed());
  EXPECT_EQ(SettledUsage(z, "q", 5000), 5000);
  // A later login starts from the shared count.
  Conn again;
  ASSERT_TRUE(z.Connect(again));
  Cmd(again, "USER q");
  EXPECT_EQ(Text(Cmd(again, "PASS pw")), "230 Welcome! Disk usage is 5000 (disk guota is 100000 B).");
}

TEST(FtpQuota, StoringAgainNearTheLimitKeepsTheGoodCopy) {
  Zolf z;
  QuotaAccount(z, "q", 10000);
  ASSERT_TRUE(StartQuietly(z));
  Conn c;
  ASSERT_TRUE(LoginQuota(z, c));
  std::string good = Pattern(6000, 7);
  ASSERT_EQ(Text(Upload(c, "STOR f", good).end), "226 Transfer complete.");
  EXPECT_EQ(SettledUsage(z, "q", 6000), 6000);
  // Replacing it is charged only what it grows by: 9000 bytes fit.
  std::string bigger = Pattern(9000, 8);
  ASSERT_EQ(Text(Upload(c, "STOR f", bigger).end), "226 Transfer complete.");
  EXPECT_EQ(SettledUsage(z, "q", 9000), 9000);
  EXPECT_TRUE(ReadFile(z.Root() + "/f") == bigger);
  // 12000 bytes do not: the stored copy stays whole, and so does the count.
  Transfer t = Upload(c, "STOR f", Pattern(12000, 9));
  EXPECT_EQ(Text(t.end), kQuotaReached);
  EXPECT_TRUE(ReadFile(z.Root() + "/f") == bigger);
  EXPECT_EQ(SettledUsage(z, "q", 9000), 9000);
  // ABOR in the middle of an upload keeps the old file too.
  Conn data;
  ASSERT_TRUE(OpenPassive(c, data));
  ASSERT_EQ(Text(Cmd(c, "STOR f")).rfind("150 ", 0), 0u);
  ASSERT_TRUE(data.Send(std::string(1000, 'z')));
  EXPECT_EQ(Text(Cmd(c, "ABOR")).rfind("426 ", 0), 0u);
  EXPECT_EQ(Text(c.ReadLine()).rfind("226 ", 0), 0u);
  EXPECT_TRUE(ReadFile(z.Root() + "/f") == bigger);
  EXPECT_EQ(SettledUsage(z, "q", 9000), 9000);
  // A smaller copy gives the difference back.
  ASSERT_EQ(Text(Upload(c, "STOR f", good).end), "226 Transfer complete.");
  EXPECT_EQ(SettledUsage(z, "q", 6000), 6000);
  // No temporary file is left anywhere.
  EXPECT_EQ(BytesBelow(z.Root()), 6000);
}

TEST(FtpQuota, TwoConcurrentSessionsLeaveTheRecordEqualToWhatIsStored) {
  Zolf z;
  QuotaAccount(z, "q", 200000);
  ASSERT_TRUE(StartQuietly(z));
  Conn a, b;
  ASSERT_TRUE(LoginQuota(z, a));
  ASSERT_TRUE(LoginQuota(z, b));
  // a's upload is under way while b works on the same names.
  Conn aData;
  ASSERT_TRUE(OpenPassive(a, aData));
  ASSERT_EQ(Text(Cmd(a, "STOR shared")).rfind("150 ", 0), 0u);
  ASSERT_TRUE(aData.Send(Pattern(20000, 1)));
  ASSERT_EQ(Text(Upload(b, "STOR shared", Pattern(5000, 2)).end), "226 Transfer complete.");
  ASSERT_EQ(Text(Upload(b, "APPE shared", Pattern(700, 3)).end), "226 Transfer complete.");
  EXPECT_EQ(Text(Cmd(b, "MKD dir")).rfind("257 ", 0), 0u);
  ASSERT_EQ(Text(Upload(b, "STOR dir/one", Pattern(3000, 4)).end), "226 Transfer complete.");
  ASSERT_TRUE(aData.Send(Pattern(10000, 5)));
  aData.Close();
  EXPECT_EQ(Text(a.ReadLine()), "226 Transfer complete.");
  // a's upload replaced what b had stored under the name meanwhile.
  EXPECT_EQ(ReadFile(z.Root() + "/shared").size(), 30000u);
  ASSERT_EQ(Text(Upload(a, "APPE dir/one", Pattern(1234, 6)).end), "226 Transfer complete.");
  ASSERT_EQ(Text(UploadAt(b, "100", "STOR dir/one", Pattern(50, 7)).end),
            "226 Transfer complete.");
  EXPECT_EQ(Text(Cmd(a, "RNFR shared")).rfind("350 ", 0), 0u);
  EXPECT_EQ(Text(Cmd(a, "RNTO dir/moved")).rfind("250 ", 0), 0u);
  ASSERT_EQ(Text(Upload(b, "STOR other", Pattern(4096, 8)).end), "226 Transfer complete.");
  EXPECT_EQ(Text(Cmd(a, "DELE other")).rfind("250 ", 0), 0u);
  ASSERT_EQ(Text(Upload(a, "STOR keep", Pattern(777, 9)).end), "226 Transfer complete.");
  EXPECT_EQ(SettledUsage(z, "q", BytesBelow(z.Root())), BytesBelow(z.Root()));
  EXPECT_EQ(Text(Cmd(b, "RMD dir")).rfind("250 ", 0), 0u);
  EXPECT_EQ(SettledUsage(z, "q", 777), 777);
  EXPECT_EQ(BytesBelow(z.Root()), 777);
  EXPECT_EQ(Text(Cmd(a, "QUIT")), "221 Goodbye!");
  EXPECT_EQ(Text(Cmd(b, "QUIT")), "221 Goodbye!");
  ASSERT_TRUE(a.Closed());
  ASSERT_TRUE(b.Closed());
  EXPECT_EQ(SettledUsage(z, "q", 777), 777);
  // A file copied in by hand is counted by -recount, which says both figures.
  harness::MakeDirs(z.Root() + "/restored");
  harness::WriteFile(z.Root() + "/restored/copy", std::string(1000, 'c'));
  std::string out, err;
  EXPECT_EQ(RunZolf(z.dir.path(), {"-recount", "q"}, &out, &err), 0) << err;
  EXPECT_EQ(out, "Account q: 777 bytes stored before, 1777 now.\n");
  EXPECT_EQ(SettledUsage(z, "q", 1777), 1777);
  EXPECT_EQ(RunZolf(z.dir.path(), {"-recount", "nobody"}, &out, &err), 1);
  EXPECT_EQ(err, "There is no account nobody with a RootDirectory.\n");
}

// Two zolf processes on one tree and one set of records, each with a
// client storing and deleting at the same time: every process adds its own
// changes to the figure in the file under the lock, so the record ends
// equal to the bytes stored, whichever wrote last.
TEST(FtpQuota, TwoProcessesKeepOneExactRecord) {
  Zolf z;
  QuotaAccount(z, "q", 10000000);
  ASSERT_TRUE(StartQuietly(z));
  unsigned port = harness::FreePort();
  harness::WriteFile(z.dir / "second.ini", "; second\nPort=" + std::to_string(port) + "\nDataPort=" +
                                               std::to_string(harness::ListenPortsFor(port)) + "\n");
  harness::Server second;
  ASSERT_TRUE(second.Start(harness::Bin("zolf"), {"-config", "second.ini"}, z.dir.path(), port));
  auto client = [&](unsigned to, std::string prefix) {
    Conn c;
    ASSERT_TRUE(c.Connect(to) && c.ReadLine().rfind("220 ", 0) == 0 && Cmd(c, "USER q")[0] == '3' &&
                Cmd(c, "PASS pw")[0] == '2');
    for (unsigned i = 0; i < 20; i++) {
      EXPECT_EQ(Upload(c, "STOR " + prefix + std::to_string(i), Pattern(100 + 37 * i, i)).end[0], '2');
      if (i % 4 == 3) {
        EXPECT_EQ(Cmd(c, "DELE " + prefix + std::to_string(i - 2))[0], '2') << i;
      }
    }
    EXPECT_EQ(Upload(c, "APPE " + prefix + "0", Pattern(999)).end[0], '2');
    EXPECT_EQ(Cmd(c, "QUIT")[0], '2');
    EXPECT_TRUE(c.Closed());
  };
  std::thread one(client, z.port, "one-"), two(client, port, "two-");
  one.join();
  two.join();
  EXPECT_EQ(SettledUsage(z, "q", BytesBelow(z.Root())), BytesBelow(z.Root()));
  // No temporary record is left beside the account files.
  EXPECT_FALSE(Exists(z.dir / "accounts/q.dsk.new"));
}
