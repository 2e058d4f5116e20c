// Data connections and transfers against the running server, over real
// passive and active data connections.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <csignal>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <map>
#include <thread>
#include <vector>

#include "data_fixture.h"

using harness::Conn;

namespace {

const char kGrants[] = "PASV PORT RETR STOR APPE LIST TYPE CWD";
const char k150[] = "150 Starting transfer.\r\n";
const char k226[] = "226 Transfer complete.\r\n";
const char k451[] = "451 Requested action aborted, local error in processing.\r\n";
const char k550[] = "550 Requested action not taken.\r\n";
const char kGuard[] = "550 Why don't you go fuck yourself?\r\n";

std::string PassiveReply(unsigned port) {
  return "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," +
         std::to_string(port % 256) + ").\r\n";
}

}  // namespace

TEST(FtpTransfers, PassivePortsAreFreePortsOfTheRange) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  harness::WriteFile(z.Root() + "/f", "data");
  unsigned dataPort = 0;
  ASSERT_TRUE(StartWithDataPort(z, "MaxUsers=4\nMaxPerAddress=4\nTimeoutTime=2\n", &dataPort));
  Conn first, second, third;
  ASSERT_TRUE(z.Login(first, "u", "pw"));
  ASSERT_TRUE(z.Login(second, "u", "pw"));
  ASSERT_TRUE(z.Login(third, "u", "pw"));
  // DataPort..DataPort+MaxUsers. Ports busy elsewhere are passed over:
  // with all but one held by the test and the first session, the second
  // session gets that one.
  unsigned a = PassivePort(Cmd(first, "PASV"));
  ASSERT_TRUE(a >= dataPort && a <= dataPort + 4) << a;
  unsigned spare = a == dataPort ? dataPort + 1 : dataPort;
  std::vector<int> held;
  for (unsigned p = dataPort; p <= dataPort + 4; p++) {
    if (p == a || p == spare) continue;
    int fd = harness::HoldLoopbackPort(p);
    ASSERT_GE(fd, 0) << p;
    held.push_back(fd);
  }
  EXPECT_EQ(Cmd(second, "PASV"), PassiveReply(spare));
  // The whole range busy: only then 451.
  EXPECT_EQ(Cmd(third, "PASV"), "451 Assigning a name to socket failed.\r\n");
  for (int fd : held) close(fd);
  // A second PASV closes the first listener; right after a transfer a port
  // is taken again, though the closed connection still lingers on it.
  for (int i = 0; i < 3; i++) {
    Transfer t = Download(first, "RETR f");
    EXPECT_EQ(t.start, k150);
    EXPECT_EQ(t.data, "data");
    EXPECT_EQ(t.end, k226);
  }
}

TEST(FtpTransfers, PortConnectsOnlyToTheClientsOwnAddress) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  std::string content = Pattern(100000);
  harness::WriteFile(z.Root() + "/f", content);
  ASSERT_TRUE(z.Start());
  Conn c;
  ASSERT_TRUE(z.Login(c, "u", "pw"));
  EXPECT_EQ(Cmd(c, "PORT"), "550 Can't process PORT without argument.\r\n");
  EXPECT_EQ(Cmd(c, "PORT 127,0,0,2,200,10"), "501 PORT with conflicting IP.\r\n");
  EXPECT_EQ(Cmd(c, "PORT 127,000,0,1,200,10"), "501 PORT with conflicting IP.\r\n");
  EXPECT_EQ(Cmd(c, "PORT 127,0,0,1,200"), "550 Bad PORT arguments.\r\n");
  EXPECT_EQ(Cmd(c, "PORT 127,0,0,1,256,0"), "550 Bad PORT arguments.\r\n");
  EXPECT_EQ(Cmd(c, "PORT 127,0,0,1,0,0"), "550 Bad PORT arguments.\r\n");
  EXPECT_EQ(Cmd(c, "PORT 127,0,0,1,-1,10"), "550 Bad PORT arguments.\r\n");

  ActiveListener listener;
  EXPECT_EQ(Cmd(c, "PORT " + listener.PortArgument()), "200 Command okay.\r\n");
  EXPECT_EQ(Cmd(c, "RETR f"), k150);
  EXPECT_TRUE(listener.AcceptAndReadAll() == content);
  EXPECT_EQ(c.ReadLine(), k226);

  // A PORT whose transfer never started is dropped by the next PASV.
  ActiveListener second;
  EXPECT_EQ(Cmd(c, "PORT " + second.PortArgument()), "200 Command okay.\r\n");
  EXPECT_EQ(Cmd(c, "RETR missing"), k550);
  Transfer t = Download(c, "RETR f");
  EXPECT_EQ(t.end, k226);
  EXPECT_TRUE(t.data == content);
}

TEST(FtpTransfers, PortToAClosedPortFailsTheTransfer) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  harness::WriteFile(z.Root() + "/f", "data");
  ASSERT_TRUE(z.Start());
  Conn c;
  ASSERT_TRUE(z.Login(c, "u", "pw"));
  unsigned closed = harness::FreePort();
  EXPECT_EQ(Cmd(c, "PORT 127,0,0,1," + std::to_string(closed / 256) + "," +
                       std::to_string(closed % 256)),
            "200 Command okay.\r\n");
  EXPECT_EQ(Cmd(c, "RETR f"), k150);
  EXPECT_EQ(c.ReadLine(), k451);
  // An upload over it fails too, instead of passing for an empty file.
  EXPECT_EQ(Cmd(c, "PORT 127,0,0,1," + std::to_string(closed / 256) + "," +
                       std::to_string(closed % 256)),
            "200 Command okay.\r\n");
  EXPECT_EQ(Cmd(c, "STOR g"), k150);
  EXPECT_EQ(c.ReadLine(), k451);
  EXPECT_EQ(Cmd(c, "NOOP"), "200 Zzzzz...\r\n");
}

TEST(FtpTransfers, DownloadsAreByteExact) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  std::vector<size_t> sizes{0, 1, 2047, 2048, 2049, 5 * 1024 * 1024 + 7};
  for (size_t n : sizes) harness::WriteFile(z.Root() + "/f" + std::to_string(n), Pattern(n, (unsigned)n));
  std::string text = "line one\r\nline two\nline three\r\n";
  harness::WriteFile(z.Root() + "/text.txt", text);
  ASSERT_TRUE(z.Start());
  Conn c;
  ASSERT_TRUE(z.Login(c, "u", "pw"));
  for (size_t n : sizes) {
    SCOPED_TRACE(n);
    Transfer t = Download(c, "RETR f" + std::to_string(n));
    EXPECT_EQ(t.start, k150);
    EXPECT_EQ(t.data.size(), n);
    EXPECT_TRUE(t.data == Pattern(n, (unsigned)n));
    EXPECT_EQ(t.end, k226);
  }
  // ASCII mode moves the very same bytes.
  EXPECT_EQ(Cmd(c, "TYPE A"), "200 Command okay.\r\n");
  Transfer t = Download(c, "RETR /text.txt");
  EXPECT_EQ(t.data, text);
  EXPECT_EQ(t.end, k226);
}

TEST(FtpTransfers, RestartOffsets) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  std::string content = Pattern(5000);
  harness::WriteFile(z.Root() + "/f", content);
  harness::WriteFile(z.Root() + "/short", std::string(600, 'x'));
  harness::WriteFile(z.Root() + "/up", content);
  ASSERT_TRUE(z.Start());
  Conn c;
  ASSERT_TRUE(z.Login(c, "u", "pw"));

  Conn data;
  ASSERT_TRUE(OpenPassive(c, data));
  EXPECT_EQ(Cmd(c, "REST 1000"), "350 Requested action pending further information.\r\n");
  EXPECT_EQ(Cmd(c, "RETR f"), k150);
  EXPECT_TRUE(data.ReadAll() == content.substr(1000));
  EXPECT_EQ(c.ReadLine(), k226);

  // Beyond the end: a transfer without data.
  ASSERT_TRUE(OpenPassive(c, data));
  EXPECT_EQ(Cmd(c, "REST 1000"), "350 Requested action pending further information.\r\n");
  EXPECT_EQ(Cmd(c, "RETR short"), k150);
  EXPECT_EQ(data.ReadAll(), "");
  EXPECT_EQ(c.ReadLine(), k226);

  // An offset reaches only the transfer right after REST.
  ASSERT_TRUE(OpenPassive(c, data));
  EXPECT_EQ(Cmd(c, "REST 1000"), "350 Requested action pending further information.\r\n");
  EXPECT_EQ(Cmd(c, "NOOP"), "200 Zzzzz...\r\n");
  EXPECT_EQ(Cmd(c, "RETR f"), k150);
  EXPECT_TRUE(data.ReadAll() == content);
  EXPECT_EQ(c.ReadLine(), k226);

  // REST n + STOR keeps the first n bytes and writes behind them.
  ASSERT_TRUE(OpenPassive(c, data));
  EXPECT_EQ(Cmd(c, "REST 1000"), "350 Requested action pending further information.\r\n");
  EXPECT_EQ(Cmd(c, "STOR up"), k150);
  ASSERT_TRUE(data.Send("tail"));
  data.Close();
  EXPECT_EQ(c.ReadLine(), k226);
  EXPECT_TRUE(harness::ReadFile(z.Root() + "/up") == content.substr(0, 1000) + "tail");
}

TEST(FtpTransfers, DownloadRefusals) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  harness::MakeDirs(z.Root() + "/dir");
  harness::WriteFile(z.Root() + "/f", "data");
  ASSERT_EQ(mkfifo((z.Root() + "/fifo").c_str(), 0600), 0);
  ASSERT_TRUE(z.Start());
  Conn c;
  ASSERT_TRUE(z.Login(c, "u", "pw"));
  EXPECT_EQ(Cmd(c, "RETR"), "550 Can't process RETR without argument.\r\n");
  EXPECT_EQ(Cmd(c, "RETR ../f"), kGuard);
  EXPECT_EQ(Cmd(c, "RETR /"), k550);
  EXPECT_EQ(Cmd(c, "RETR missing"), k550);
  EXPECT_EQ(Cmd(c, "RETR dir"), k550);
  // Opening a FIFO would wait for a writer and stop the whole server.
  EXPECT_EQ(Cmd(c, "RETR fifo"), k550);
  EXPECT_EQ(Cmd(c, "STOR fifo"), k550);
  EXPECT_EQ(Cmd(c, "APPE dir"), k550);
  // A RETR without a data connection keeps its file until PASV drops it.
  EXPECT_EQ(Cmd(c, "RETR f"), k150);
  EXPECT_EQ(Cmd(c, "RETR f"), "451 File handle is in use.\r\n");
  EXPECT_EQ(Cmd(c, "STOR g"), "451 File handle is in use.\r\n");
  Transfer t = Download(c, "RETR f");
  EXPECT_EQ(t.data, "data");
  EXPECT_EQ(t.end, k226);
}

TEST(FtpTransfers, UploadsAreByteExact) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  harness::MakeDirs(z.Root() + "/dir");
  harness::WriteFile(z.Root() + "/old", std::string(10000, 'o'));
  // A file published with a mode of its own keeps it through STOR and APPE.
  ASSERT_EQ(chmod((z.Root() + "/old").c_str(), 0604), 0);
  ASSERT_TRUE(z.Start("MaxUsers=4\nTimeoutTime=2\nUploadMode=0640\n"));
  Conn c;
  ASSERT_TRUE(z.Login(c, "u", "pw"));
  EXPECT_EQ(Cmd(c, "STOR"), "550 Can't process STOR without argument.\r\n");
  EXPECT_EQ(Cmd(c, "APPE"), "550 Can't process APPE without argument.\r\n");
  EXPECT_EQ(Cmd(c, "STOR ../x"), kGuard);
  EXPECT_EQ(Cmd(c, "STOR dir"), k550);
  EXPECT_EQ(Cmd(c, "STOR /"), k550);

  std::string big = Pattern(3 * 1024 * 1024 + 5, 7);
  Transfer t = Upload(c, "STOR dir/new", big);
  EXPECT_EQ(t.start, k150);
  EXPECT_EQ(t.end, k226);
  EXPECT_TRUE(harness::ReadFile(z.Root() + "/dir/new") == big);

  // STOR empties an existing file first.
  t = Upload(c, "STOR old", "short");
  EXPECT_EQ(t.end, k226);
  EXPECT_EQ(harness::ReadFile(z.Root() + "/old"), "short");

  t = Upload(c, "APPE old", Pattern(4097, 3));
  EXPECT_EQ(t.end, k226);
  EXPECT_TRUE(harness::ReadFile(z.Root() + "/old") == "short" + Pattern(4097, 3));
  t = Upload(c, "APPE fresh", "made by APPE");
  EXPECT_EQ(t.end, k226);
  EXPECT_EQ(harness::ReadFile(z.Root() + "/fresh"), "made by APPE");

  t = Upload(c, "STOR empty", "");
  EXPECT_EQ(t.end, k226);
  EXPECT_TRUE(harness::Exists(z.Root() + "/empty"));
  EXPECT_EQ(harness::ReadFile(z.Root() + "/empty"), "");
  // New files get UploadMode, replaced and extended ones keep theirs.
  auto mode = [&](const std::string &name) {
    struct stat st;
    return stat((z.Root() + "/" + name).c_str(), &st) == 0 ? st.st_mode & 07777 : 01000u;
  };
  EXPECT_EQ(mode("dir/new"), 0640u);
  EXPECT_EQ(mode("fresh"), 0640u);
  EXPECT_EQ(mode("old"), 0604u);
  // Nothing of an upload is left under a temporary name.
  EXPECT_EQ(harness::Run("ls -A '" + z.Root() + "' '" + z.Root() + "/dir' | grep -q zolf-upload"), 1);

  // A root of some 1000 characters: every real path joins it, and a link
  // in a listing is followed beneath it.
  std::string deep = z.dir / "deep";
  while (deep.size() < 1000) deep += "/" + std::string(99, 'd');
  harness::MakeDirs(deep + "/sub");
  ASSERT_EQ(symlink("sub", (deep + "/link").c_str()), 0);
  z.Account("deep", "PassWord=pw\nAllowIPAddress=ALL\nCloseIfIdle=no\nAllowFullBandwidth=no\n"
                    "RootDirectory=" + deep + "\nDiskQuota=0\nAddCommand=PASV\n"
                    "AddCommand=STOR\nAddCommand=RETR\nAddCommand=LIST\n");
  Conn d;
  ASSERT_TRUE(z.Login(d, "deep", "pw"));
  EXPECT_EQ(Upload(d, "STOR new", big).end, k226);
  EXPECT_TRUE(harness::ReadFile(deep + "/new") == big);
  t = Download(d, "RETR /new");
  EXPECT_EQ(t.end, k226);
  EXPECT_TRUE(t.data == big);
  t = Download(d, "LIST");
  EXPECT_EQ(t.end, k226);
  EXPECT_NE(t.data.find("-rw-r-----   1 owner    group         3145733 "), std::string::npos) << t.data;
  size_t link = t.data.find(" link\r\n");
  ASSERT_NE(link, std::string::npos) << t.data;
  size_t line = t.data.rfind('\n', link);
  EXPECT_EQ(t.data[line == std::string::npos ? 0 : line + 1], 'd') << t.data;
}

// A server killed in the middle of a replacing STOR leaves the old file
// whole; the temporary file is never shown or nameable, and the next start
// removes it.
TEST(FtpTransfers, KilledUploadLeavesTheOldFileWhole) {
  Zolf z;
  z.SimpleAccount("u", "pw", std::string(kGrants) + " DELE SIZE RNFR RNTO");
  std::string account = harness::ReadFile(z.dir / "accounts/u.ini");
  harness::WriteFile(z.dir / "accounts/u.ini",
                     account.replace(account.find("DiskQuota=0"), 11, "DiskQuota=9000000"));
  harness::WriteFile(z.Root() + "/old", "the old content");
  ASSERT_TRUE(z.Start());
  Conn c, other;
  ASSERT_TRUE(z.Login(c, "u", "pw"));
  ASSERT_TRUE(z.Login(other, "u", "pw"));
  Conn data;
  ASSERT_TRUE(OpenPassive(c, data));
  ASSERT_EQ(Cmd(c, "STOR old"), k150);
  ASSERT_TRUE(data.Send(Pattern(100000)));
  std::string temp;
  ASSERT_TRUE(harness::WaitFor([&] {
    harness::Run("ls -A '" + z.Root() + "' | grep zolf-upload", &temp, 5);
    return !temp.empty();
  }, 10));
  temp = temp.substr(0, temp.find('\n'));
  EXPECT_EQ(Download(other, "NLST").data, "old\r\n");
  // To every command the temporary name is no name at all.
  EXPECT_EQ(Cmd(other, "DELE " + temp)[0], '4');
  EXPECT_EQ(Cmd(other, "SIZE " + temp)[0], '5');
  EXPECT_EQ(Cmd(other, "RNFR old").substr(0, 4), "350 ");
  EXPECT_EQ(Cmd(other, "RNTO " + temp)[0], '5');
  EXPECT_TRUE(harness::Exists(z.Root() + "/" + temp));
  ASSERT_EQ(kill(z.server.proc.pid(), SIGKILL), 0);
  z.server.proc.Wait(10);
  harness::Server again;
  ASSERT_TRUE(again.Start(harness::Bin("zolf"), {}, z.dir.path(), z.port));
  EXPECT_EQ(harness::ReadFile(z.Root() + "/old"), "the old content");
  EXPECT_FALSE(harness::Exists(z.Root() + "/" + temp));
  // Nor are the bytes of the removed file charged to the account.
  std::string record = harness::ReadFile(z.dir / "accounts/u.dsk");
  EXPECT_TRUE(record.size() < 8 || record.substr(4, 4) == std::string(4, '\0'));
  // One left by a process that is gone (no pid reaches 999999999) goes at
  // the account's first login.
  harness::MakeDirs(z.Root() + "/sub");
  const std::string stale = z.Root() + "/sub/.zolf-upload.999999999.1";
  harness::WriteFile(stale, "cut short");
  Conn late;
  ASSERT_TRUE(z.Login(late, "u", "pw"));
  EXPECT_TRUE(harness::WaitFor([&] { return !harness::Exists(stale); }, 10));
}

TEST(FtpTransfers, UploadCrossingTheQuotaEndsWith452Only) {
  Zolf z;
  harness::MakeDirs(z.Root());
  z.Account("q", "PassWord=pw\nAllowIPAddress=ALL\nCloseIfIdle=no\nAllowFullBandwidth=no\n"
                 "RootDirectory=" + z.Root() + "\nDiskQuota=10000\nAddCommand=PASV\n"
                 "AddCommand=STOR\nAddCommand=APPE\n");
  ASSERT_TRUE(z.Start());
  std::string upload = Pattern(30000);
  Conn c;
  ASSERT_TRUE(z.Connect(c));
  EXPECT_EQ(Cmd(c, "USER q"), "331 User name okay, need password.\r\n");
  EXPECT_EQ(Cmd(c, "PASS pw"), "230 Welcome! Disk usage is 0 (disk guota is 10000 B).\r\n");
  // A STOR that crosses the quota leaves nothing behind: it wrote into a
  // temporary name, which goes with the failure.
  Transfer t = Upload(c, "STOR f", upload);
  EXPECT_EQ(t.start, k150);
  EXPECT_EQ(t.end, "452 Disk quota reached.\r\n");
  // No completion line follows the refusal: the next reply is the NOOP's.
  EXPECT_EQ(Cmd(c, "NOOP"), "200 Zzzzz...\r\n");
  EXPECT_FALSE(harness::Exists(z.Root() + "/f"));
  // APPE writes in place: whole buffers were written while they fitted,
  // the last one that fits at most one buffer short of the quota.
  t = Upload(c, "APPE f", upload);
  EXPECT_EQ(t.end, "452 Disk quota reached.\r\n");
  std::string stored = harness::ReadFile(z.Root() + "/f");
  EXPECT_LE(stored.size(), 10000u);
  EXPECT_GT(stored.size(), 10000u - 2048u);
  EXPECT_TRUE(stored == upload.substr(0, stored.size()));
  // What is left is less than a buffer: a larger upload stores nothing.
  t = Upload(c, "STOR g", Pattern(5000));
  EXPECT_EQ(t.end, "452 Disk quota reached.\r\n");
  EXPECT_FALSE(harness::Exists(z.Root() + "/g"));
  EXPECT_EQ(Cmd(c, "QUIT"), "221 Goodbye!\r\n");
  // Quota and bytes stored in 32 bits, then the bytes stored in 64.
  std::string record(16, '\0');
  uint32_t limit = 10000, usage = (uint32_t)stored.size();
  uint64_t wide = usage;
  memcpy(&record[0], &limit, 4);
  memcpy(&record[4], &usage, 4);
  memcpy(&record[8], &wide, 8);
  EXPECT_TRUE(harness::WaitFor(
      [&] { return harness::ReadFile(z.dir / "accounts/q.dsk") == record; }));
}

TEST(FtpTransfers, ForeignDataConnectionIsTurnedAway) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  harness::WriteFile(z.Root() + "/f", "secret");
  ASSERT_TRUE(z.Start());
  Conn c;
  ASSERT_TRUE(z.Login(c, "u", "pw"));
  std::string reply;
  Conn stranger;
  ASSERT_TRUE(OpenPassive(c, stranger, &reply, "127.0.0.2"));
  // Closed without a word to the client.
  EXPECT_TRUE(stranger.Closed());
  EXPECT_EQ(Cmd(c, "NOOP"), "200 Zzzzz...\r\n");
  // The port still listens for the client itself.
  Conn own;
  ASSERT_TRUE(own.Connect(PassivePort(reply)));
  EXPECT_EQ(Cmd(c, "RETR f"), k150);
  EXPECT_EQ(own.ReadAll(), "secret");
  EXPECT_EQ(c.ReadLine(), k226);
}

TEST(FtpTransfers, ClientDroppingItsDownloadLeavesTheServerServingOthers) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  // Far more than the socket buffers on both sides hold.
  harness::WriteFile(z.Root() + "/huge", "");
  ASSERT_EQ(truncate((z.Root() + "/huge").c_str(), 64 << 20), 0);
  std::string small = Pattern(70000);
  harness::WriteFile(z.Root() + "/small", small);
  ASSERT_TRUE(z.Start());
  Conn quitter, other;
  ASSERT_TRUE(z.Login(quitter, "u", "pw"));
  ASSERT_TRUE(z.Login(other, "u", "pw"));
  Conn data;
  ASSERT_TRUE(OpenPassive(quitter, data));
  EXPECT_EQ(Cmd(quitter, "RETR huge"), k150);
  EXPECT_EQ(data.ReadN(100000).size(), 100000u);
  data.Reset();
  EXPECT_EQ(quitter.ReadLine(10), k451);
  EXPECT_EQ(Cmd(quitter, "NOOP"), "200 Zzzzz...\r\n");
  Transfer t = Download(other, "RETR small");
  EXPECT_EQ(t.end, k226);
  EXPECT_TRUE(t.data == small);
}

namespace {

// Bytes a data connection brings per second of the wall clock until the
// deadline. The server's windows begin with the turn of a second of the
// same clock, and a window's buffers go out within milliseconds of it.
std::map<time_t, size_t> BytesPerSecond(Conn &data, double seconds) {
  std::map<time_t, size_t> per;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds((long)(seconds * 1000));
  char buf[65536];
  for (;;) {
    long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  end - std::chrono::steady_clock::now())
                  .count();
    if (ms <= 0) break;
    pollfd p{data.fd(), POLLIN, 0};
    if (poll(&p, 1, (int)ms) != 1) continue;
    ssize_t n = recv(data.fd(), buf, sizeof buf, 0);
    if (n <= 0) break;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    per[now.tv_sec] += (size_t)n;
  }
  return per;
}

}  // namespace

TEST(FtpTransfers, ThrottleMovesFiveBuffersPerWindowAndNeverSpins) {
  Zolf z;
  z.SimpleAccount("slow", "pw", kGrants);
  z.Account("fast", "PassWord=pw\nAllowIPAddress=ALL\nCloseIfIdle=no\nAllowFullBandwidth=yes\n"
                    "RootDirectory=" + z.Root() + "\nDiskQuota=0\nAddCommand=PASV\n"
                    "AddCommand=RETR\n");
  std::string big = Pattern(1 << 20);
  harness::WriteFile(z.Root() + "/big", big);
  // 10 KiB per second for all throttled sessions together.
  ASSERT_TRUE(z.Start("MaxUsers=4\nTimeoutTime=2\nMaximumBandwidth=10\n"));
  Conn slow, fast;
  ASSERT_TRUE(z.Login(slow, "slow", "pw"));
  ASSERT_TRUE(z.Login(fast, "fast", "pw"));
  Conn data;
  ASSERT_TRUE(OpenPassive(slow, data));
  EXPECT_EQ(Cmd(slow, "RETR big"), k150);

  // An exempt account is not slowed and does not count against the limit.
  auto start = std::chrono::steady_clock::now();
  Transfer t = Download(fast, "RETR big");
  EXPECT_TRUE(t.data == big);
  EXPECT_EQ(t.end, k226);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5);

  long ticks = CpuTicks(z.server.proc);
  std::map<time_t, size_t> per = BytesPerSecond(data, 4.2);
  long spent = CpuTicks(z.server.proc) - ticks;
  std::string trace;
  for (const auto &second : per) trace += std::to_string(second.second) + " ";
  SCOPED_TRACE("bytes per second: " + trace);
  // Each window: the first buffer uncounted, four more while the count
  // stays below 10240 bytes; the one that reaches it waits for the next.
  // The first second holds the rest of the window the download began in,
  // the last one may be cut by the deadline.
  ASSERT_GE(per.size(), 4u);
  EXPECT_EQ((size_t)(per.rbegin()->first - per.begin()->first + 1), per.size());  // no window missed
  auto second = per.begin();
  for (++second; std::next(second) != per.end(); ++second)
    EXPECT_EQ(second->second, 5u * 2048);
  // Waiting for the next window costs no processor time: the loop sleeps.
  EXPECT_LT(spent, 40);
}

TEST(FtpTransfers, FilesBeyond4GiBListAndResume) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  // A sparse file of 5 GiB and 10 bytes, the last ten known.
  std::string path = z.Root() + "/large";
  const off_t kFiveGiB = (off_t)5 << 30;
  harness::WriteFile(path, "");
  ASSERT_EQ(truncate(path.c_str(), kFiveGiB), 0);
  FILE *f = fopen(path.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(fseeko(f, kFiveGiB, SEEK_SET), 0);
  fputs("0123456789", f);
  fclose(f);
  ASSERT_TRUE(z.Start());
  Conn c;
  ASSERT_TRUE(z.Login(c, "u", "pw"));
  Transfer list = Download(c, "LIST");
  EXPECT_NE(list.data.find("   1 owner    group      5368709130 "), std::string::npos) << list.data;
  Conn data;
  ASSERT_TRUE(OpenPassive(c, data));
  EXPECT_EQ(Cmd(c, "REST 5368709125"), "350 Requested action pending further information.\r\n");
  EXPECT_EQ(Cmd(c, "RETR large"), k150);
  EXPECT_EQ(data.ReadAll(), "56789");
  EXPECT_EQ(c.ReadLine(), k226);
  // REST beyond 4 GiB + STOR keeps everything before the offset.
  ASSERT_TRUE(OpenPassive(c, data));
  EXPECT_EQ(Cmd(c, "REST 5368709125"), "350 Requested action pending further information.\r\n");
  EXPECT_EQ(Cmd(c, "STOR large"), k150);
  ASSERT_TRUE(data.Send("abc"));
  data.Close();
  EXPECT_EQ(c.ReadLine(), k226);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, kFiveGiB + 8);
}

// A download whose client takes everything it is given (a file beyond
// 4 GiB, read as fast as it comes) still leaves each pass of the loop to
// the other sessions: a second session logs in and fetches a small file
// at once, while the download goes on.
TEST(FtpTransfers, SmallDownloadCompletesWhileALargeOneRuns) {
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  std::string huge = z.Root() + "/huge";
  harness::WriteFile(huge, "");
  if (truncate(huge.c_str(), (off_t)5 << 30) != 0)
    GTEST_SKIP() << "no room for a sparse file of 5 GiB";
  harness::WriteFile(z.Root() + "/small", "small\n");
  ASSERT_TRUE(z.Start());
  Conn big, bigData;
  ASSERT_TRUE(z.Login(big, "u", "pw"));
  ASSERT_TRUE(OpenPassive(big, bigData));
  EXPECT_EQ(Cmd(big, "RETR huge"), k150);
  std::atomic<uint64_t> got{0};
  std::atomic<bool> stop{false}, ended{false};
  std::thread drain([&] {
    char buf[1 << 16];
    while (!stop) {
      pollfd p{bigData.fd(), POLLIN, 0};
      if (poll(&p, 1, 100) != 1) continue;
      ssize_t n = recv(bigData.fd(), buf, sizeof buf, 0);
      if (n <= 0) break;
      got += (uint64_t)n;
    }
    ended = true;
  });
  bool flowing = harness::WaitFor([&] { return got >= (8u << 20); }, 10);

  auto start = std::chrono::steady_clock::now();
  Conn other;
  bool loggedIn = z.Login(other, "u", "pw");
  Transfer t = Download(other, "RETR small");
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  uint64_t then = got;
  bool stillRunning = !ended;
  bool goesOn = harness::WaitFor([&] { return got > then + (1u << 20); }, 10);
  stop = true;
  drain.join();

  EXPECT_TRUE(flowing);
  EXPECT_TRUE(loggedIn);
  EXPECT_EQ(t.end, k226);
  EXPECT_EQ(t.data, "small\n");
  EXPECT_LT(seconds, 1.0);
  EXPECT_TRUE(stillRunning);
  EXPECT_LT(then, (uint64_t)5 << 30);
  EXPECT_TRUE(goesOn);
}

TEST(FtpTransfers, HundredsOfIdleSessionsStillAnswerAndTransfer) {
  // A session waiting for its next command holds none of a command's
  // buffers: each line that arrives borrows them again, so a session that
  // was silent must answer, keep its directory and run commands sent
  // together in order exactly as one that never paused.
  const int kSessions = 500;
  Zolf z;
  z.SimpleAccount("u", "pw", kGrants);
  harness::MakeDirs(z.Root() + "/sub");
  const std::string body = Pattern(100000);
  harness::WriteFile(z.Root() + "/sub/file", body);
  unsigned dataPort = 0;
  const std::string room = std::to_string(kSessions + 4);
  ASSERT_TRUE(StartWithDataPort(
      z, "MaxUsers=" + room + "\nMaxPerAddress=" + room + "\nTimeoutTime=120\n", &dataPort));
  std::vector<Conn> sessions(kSessions);
  for (int i = 0; i < kSessions; i++) {
    Conn &c = sessions[i];
    ASSERT_TRUE(z.Connect(c)) << i;
    // Login and the first command in one segment; every other session
    // ends up below the root.
    ASSERT_TRUE(
        c.Send(i % 2 ? "USER u\r\nPASS pw\r\nCWD sub\r\n" : "USER u\r\nPASS pw\r\nNOOP\r\n"));
    ASSERT_EQ(c.ReadLine(), "331 User name okay, need password.\r\n") << i;
    ASSERT_EQ(c.ReadLine().rfind("230 ", 0), 0u) << i;
    ASSERT_EQ(c.ReadLine().substr(0, 4), i % 2 ? "250 " : "200 ") << i;
  }
  for (int i = 0; i < kSessions; i++)
    ASSERT_EQ(Cmd(sessions[i], "PWD"),
              std::string("257 \"") + (i % 2 ? "/sub/" : "/") + "\" is current directory.\r\n")
        << i;
  Conn &last = sessions[kSessions - 1];
  ASSERT_TRUE(last.Send("TYPE I\r\nPWD\r\nCWD /\r\nPWD\r\n"));
  EXPECT_EQ(last.ReadLine().substr(0, 4), "200 ");
  EXPECT_EQ(last.ReadLine(), "257 \"/sub/\" is current directory.\r\n");
  EXPECT_EQ(last.ReadLine().substr(0, 4), "250 ");
  EXPECT_EQ(last.ReadLine(), "257 \"/\" is current directory.\r\n");
  Transfer t = Download(sessions[1], "RETR file");
  EXPECT_EQ(t.start, k150);
  EXPECT_TRUE(t.data == body);
  EXPECT_EQ(t.end, k226);
  Transfer up = Upload(sessions[2], "STOR up", body);
  EXPECT_EQ(up.end, k226);
  EXPECT_TRUE(harness::ReadFile(z.Root() + "/up") == body);
}
