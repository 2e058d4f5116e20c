// LIST against the running server: the line formats, empty and vanished
// directories, listings without permission, long listings, and a listing
// stopped by another command.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <ctime>
#include <set>
#include <sstream>

#include "data_fixture.h"

using harness::Conn;

namespace {

const char kListStarted[] = "150 Transferring directory listing.\r\n";
const char k226[] = "226 Transfer complete.\r\n";

// Sets a path's modification time to the given UTC moment.
void Touch(const std::string &path, int year, int month, int day, int hour, int minute) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  struct timeval times[2];
  times[0].tv_sec = times[1].tv_sec = timegm(&tm);
  times[0].tv_usec = times[1].tv_usec = 0;
  ASSERT_EQ(utimes(path.c_str(), times), 0) << path;
}

std::multiset<std::string> Lines(const std::string &data) {
  std::multiset<std::string> lines;
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find("\r\n", start);
    if (end == std::string::npos) {
      lines.insert("<unterminated>" + data.substr(start));
      break;
    }
    lines.insert(data.substr(start, end + 2 - start));
    start = end + 2;
  }
  return lines;
}

}  // namespace

TEST(FtpListing, FileAndDirectoryLines) {
  Zolf z;
  z.SimpleAccount("u", "pw", "PASV LIST CWD");
  harness::WriteFile(z.Root() + "/a.txt", std::string(1234, 'a'));
  Touch(z.Root() + "/a.txt", 2025, 3, 5, 14, 7);
  harness::MakeDirs(z.Root() + "/sub");
  harness::WriteFile(z.Root() + "/sub/inner", "x");
  Touch(z.Root() + "/sub", 2019, 12, 31, 23, 59);
  ASSERT_EQ(chmod((z.Root() + "/a.txt").c_str(), 0640), 0);
  ASSERT_EQ(chmod((z.Root() + "/sub").c_str(), 0751), 0);
  ASSERT_EQ(chmod((z.Root() + "/sub/inner").c_str(), 0604), 0);
  // Neither a file nor a directory: no line.
  ASSERT_EQ(mkfifo((z.Root() + "/fifo").c_str(), 0600), 0);
  ASSERT_TRUE(z.Start());
  Conn c;
  ASSERT_TRUE(z.Login(c, "u", "pw"));
  std::multiset<std::string> expected{
      "-rw-r-----   1 owner    group            1234 Mar 05 14:07 a.txt\r\n",
      "drwxr-x--x   1 owner    group               0 Dec 31 23:59 sub\r\n"};
  Transfer t = Download(c, "LIST");
  EXPECT_EQ(t.start, kListStarted);
  EXPECT_EQ(Lines(t.data), expected) << t.data;
  EXPECT_EQ(t.end, k226);
  // Options are ignored; a path is listed like the one a transfer names.
  t = Download(c, "LIST -la");
  EXPECT_EQ(Lines(t.data), expected) << t.data;
  t = Download(c, "LIST -a -l sub");
  EXPECT_EQ(t.data.substr(0, 46), "-rw----r--   1 owner    group               1 ");
  EXPECT_EQ(t.data.substr(t.data.size() - 8), " inner\r\n");
  EXPECT_EQ(t.end, k226);
  // A file gives its own line.
  t = Download(c, "LIST /a.txt");
  EXPECT_EQ(t.data, "-rw-r-----   1 owner    group            1234 Mar 05 14:07 /a.txt\r\n");
  // What is not there, or not inside the root: 550, no 150, and the data
  // connection opened for the listing is closed.
  for (const char *bad : {"LIST missing", "LIST -l ../", "LIST sub/missing", "LIST fifo"}) {
    Conn data;
    ASSERT_TRUE(OpenPassive(c, data));
    EXPECT_EQ(Cmd(c, bad), "550 Requested action not taken.\r\n") << bad;
    EXPECT_TRUE(data.Closed()) << bad;
  }

  EXPECT_EQ(Cmd(c, "CWD sub"), "250 Requested action okay, completed.\r\n");
  t = Download(c, "list");
  EXPECT_EQ(t.data.substr(t.data.size() - 8), " inner\r\n");
}

TEST(FtpListing, EmptyDirectoryAndListingWithoutPermission) {
  Zolf z;
  z.SimpleAccount("u", "pw", "PASV LIST CWD");
  z.SimpleAccount("nolist", "pw", "PASV CWD");
  harness::MakeDirs(z.Root() + "/empty");
  harness::WriteFile(z.Root() + "/f", "x");
  ASSERT_TRUE(z.Start());
  Conn c, other;
  ASSERT_TRUE(z.Login(c, "u", "pw"));
  EXPECT_EQ(Cmd(c, "CWD empty"), "250 Requested action okay, completed.\r\n");
  Transfer t = Download(c, "LIST");
  EXPECT_EQ(t.start, kListStarted);
  EXPECT_EQ(t.data, "");
  EXPECT_EQ(t.end, k226);

  ASSERT_TRUE(z.Login(other, "nolist", "pw"));
  t = Download(other, "LIST");
  EXPECT_EQ(t.start, "150 Starting transfer.\r\n");
  EXPECT_EQ(t.data, "");
  EXPECT_EQ(t.end, k226);
}

TEST(FtpListing, VanishedDirectoryIsRefusedAndTheDataConnectionDropped) {
  Zolf z;
  z.SimpleAccount("u", "pw", "PASV LIST CWD");
  harness::MakeDirs(z.Root() + "/gone");
  ASSERT_TRUE(z.Start());
  Conn c;
  ASSERT_TRUE(z.Login(c, "u", "pw"));
  EXPECT_EQ(Cmd(c, "CWD gone"), "250 Requested action okay, completed.\r\n");
  ASSERT_EQ(rmdir((z.Root() + "/gone").c_str()), 0);
  Conn data;
  ASSERT_TRUE(OpenPassive(c, data));
  EXPECT_EQ(Cmd(c, "LIST"), "451 Failed to open directory.\r\n");
  EXPECT_TRUE(data.Closed());
  EXPECT_EQ(Cmd(c, "NOOP"), "200 Zzzzz...\r\n");
}

TEST(FtpListing, LongListingsArriveWhole) {
  Zolf z;
  z.SimpleAccount("u", "pw", "PASV LIST");
  std::set<std::string> names;
  for (int i = 0; i < 600; i++) {
    // Names from 1 to 250 characters, so lines of every length meet the
    // ends of the server's buffers.
    std::string name = std::to_string(i) + "_" + std::string((size_t)(i * 7 % 249), 'n');
    names.insert(name);
    harness::WriteFile(z.Root() + "/" + name, std::string((size_t)i, 'x'));
  }
  ASSERT_TRUE(z.Start());
  Conn c;
  ASSERT_TRUE(z.Login(c, "u", "pw"));
  Transfer t = Download(c, "LIST");
  EXPECT_EQ(t.end, k226);
  std::multiset<std::string> lines = Lines(t.data);
  EXPECT_EQ(lines.size(), names.size());
  std::set<std::string> listed;
  for (const std::string &line : lines) {
    ASSERT_EQ(line.compare(10, 22, "   1 owner    group   "), 0) << line;
    std::string name = line.substr(59, line.size() - 61);
    size_t size = std::stoul(line.substr(32, 13));
    EXPECT_EQ(size, std::stoul(name.substr(0, name.find('_')))) << line;
    listed.insert(name);
  }
  EXPECT_EQ(listed, names);
}

TEST(FtpListing, CommandsDuringAListingLeaveItWhole) {
  Zolf z;
  z.SimpleAccount("u", "pw", "PASV LIST");
  for (int i = 0; i < 60; i++)
    harness::WriteFile(z.Root() + "/file" + std::to_string(i), "x");
  // One buffer per second keeps the listing going while the client talks.
  ASSERT_TRUE(z.Start("MaxUsers=4\nTimeoutTime=2\nMaximumBandwidth=1\n"));
  Conn c;
  ASSERT_TRUE(z.Login(c, "u", "pw"));
  Conn data;
  ASSERT_TRUE(OpenPassive(c, data));
  EXPECT_EQ(Cmd(c, "LIST"), kListStarted);
  EXPECT_EQ(Cmd(c, "NOOP"), "200 Zzzzz...\r\n");
  EXPECT_EQ(Cmd(c, "PWD"), "257 \"/\" is current directory.\r\n");
  std::string got = data.ReadAll(10);
  EXPECT_EQ(Lines(got).size(), 60u) << got;
  EXPECT_EQ(c.ReadLine(), k226);
}
