// Directory listing pages from the real server: exact pages for a fixed
// tree, size texts, hidden and protected entries, HEAD, hostile names and
// a directory of 5000 entries sent in bounded memory.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "harness.h"
#include "listing_fixture.h"
#include "mirt_fixture.h"

using harness::WaitFor;
using namespace mirt_test;

namespace {

const char kListingOn[] = "DirectoryListing=1\n";
const long kTime1 = 1000000000;  // Sun, 09 Sep 2001 01:46:40
const long kTime2 = 1234567890;  // Fri, 13 Feb 2009 23:31:30
const long kTime3 = 2147483648;  // Tue, 19 Jan 2038 03:14:08
const char kDate1[] = "Sun, 09 Sep 2001 01:46:40";
const char kDate2[] = "Fri, 13 Feb 2009 23:31:30";
const char kDate3[] = "Tue, 19 Jan 2038 03:14:08";

// A kB figure of /proc/PID/status ("VmRSS", "VmHWM"); -1 when missing.
long StatusKb(int pid, const std::string &key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key + ":", 0) == 0) return atol(line.c_str() + key.size() + 1);
  return -1;
}

std::string Basic(const std::string &userPassword) {
  static const char b64[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < userPassword.size(); i += 3) {
    unsigned v = (unsigned char)userPassword[i] << 16 |
                 (unsigned char)userPassword[i + 1] << 8 |
                 (unsigned char)userPassword[i + 2];
    for (int s = 18; s >= 0; s -= 6) out += b64[(v >> s) & 63];
  }
  size_t rest = userPassword.size() - i;
  if (rest > 0) {
    unsigned v = (unsigned char)userPassword[i] << 16;
    if (rest == 2) v |= (unsigned char)userPassword[i + 1] << 8;
    out += b64[(v >> 18) & 63];
    out += b64[(v >> 12) & 63];
    out += rest == 2 ? b64[(v >> 6) & 63] : '=';
    out += '=';
  }
  return "Authorization: Basic " + out + "\r\n";
}

std::set<std::string> Texts(const std::vector<Row> &rows) {
  std::set<std::string> texts;
  for (const Row &r : rows) texts.insert(r.text);
  return texts;
}

class MirtListing : public MirtTest {
 protected:
  // The rows the page is expected to hold, keyed by entry name; the page
  // lists directories first, each group by name in byte order (the order
  // of the map's keys).
  std::string Expected(const std::string &, const std::string &path,
                       const std::map<std::string, std::string> &rows) {
    std::string page = ListingHead(path);
    if (path != "/") page += kParentRow;
    page += kColumnTitles;
    for (bool directories : {true, false})
      for (const auto &row : rows)
        if ((row.second.find("<td>Directory</td>") != std::string::npos) == directories)
          page += row.second;
    return page + kListingFoot;
  }
  void ExpectListingHeader(const Reply &r) {
    EXPECT_EQ(r.statusLine, "HTTP/1.0 200 Ok");
    EXPECT_EQ(r.Header("Accept-Ranges"), "none");
    EXPECT_EQ(r.Header("Content-type"), "text/html");
    EXPECT_FALSE(r.Has("Content-length")) << r.head;
    EXPECT_EQ(r.Header("Connection"), "close");
  }
  // Waits until the server holds no more descriptors than `count`.
  bool FdsBackTo(int count) {
    return WaitFor([&] { return OpenFds(server.proc.pid()) <= count; }, 5);
  }
};

TEST_F(MirtListing, RootSubdirectoryAndEmptyDirectoryPagesExactly) {
  std::string root = Root();
  Put("b1023.bin", std::string(1023, 'a'));
  Put("b1024.bin", std::string(1024, 'b'));
  Put("b1536.bin", std::string(1536, 'c'));
  Put("b2047.bin", std::string(2047, 'd'));
  Put(",hidden.txt", "not on the page");
  Put("docs/note.txt", "notes");
  harness::MakeDirs(root + "/docs/deeper");
  harness::MakeDirs(root + "/empty");
  for (const char *f : {"b1023.bin", "b1024.bin", "b1536.bin", "b2047.bin"})
    SetTime(root + "/" + f, kTime1);
  SetTime(root + "/docs/note.txt", kTime2);
  SetTime(root + "/docs/deeper", kTime3);
  SetTime(root + "/docs", kTime2);
  SetTime(root + "/empty", kTime3);
  ASSERT_TRUE(Start(kListingOn));

  Reply r = Get("/");
  ExpectListingHeader(r);
  EXPECT_EQ(r.body,
            Expected(root, "/",
                     {{"b1023.bin", FileRow("b1023.bin", "b1023.bin", "1023 B", kDate1)},
                      {"b1024.bin", FileRow("b1024.bin", "b1024.bin", "1 kB", kDate1)},
                      {"b1536.bin", FileRow("b1536.bin", "b1536.bin", "1 kB", kDate1)},
                      {"b2047.bin", FileRow("b2047.bin", "b2047.bin", "1 kB", kDate1)},
                      {"docs", DirectoryRow("docs", "docs", kDate2)},
                      {"empty", DirectoryRow("empty", "empty", kDate3)}}));

  r = Get("/docs/");
  ExpectListingHeader(r);
  EXPECT_EQ(r.body,
            Expected(root + "/docs", "/docs/",
                     {{"note.txt", FileRow("note.txt", "note.txt", "5 B", kDate2)},
                      {"deeper", DirectoryRow("deeper", "deeper", kDate3)}}));

  r = Get("/empty/");
  ExpectListingHeader(r);
  EXPECT_EQ(r.body, ListingHead("/empty/") + kParentRow + kColumnTitles +
                        kListingFoot);

  // Left off the page, but still there for whoever names it.
  r = Get("/,hidden.txt");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "not on the page");

  // A directory that is not there is missing, also with listings on.
  for (const char *missing : {"/nothing-here/", "/b1023.bin/"}) {
    r = Get(missing);
    EXPECT_EQ(r.body, "404 Not Found\nRequested file was not found. Try using UTF-7 "
                      "encoding for URLs.\n\nGenerated by Mirt/1.7.1") << missing;
  }
}

TEST_F(MirtListing, SizesBeyondFourGiB) {
  std::string root = Root();
  Put("four.bin", "");
  Put("five.bin", "");
  ASSERT_EQ(truncate((root + "/four.bin").c_str(), (off_t)4294967295LL), 0);
  ASSERT_EQ(truncate((root + "/five.bin").c_str(), (off_t)5368709220LL), 0);
  SetTime(root + "/four.bin", kTime1);
  SetTime(root + "/five.bin", kTime1);
  ASSERT_TRUE(Start(kListingOn));
  Reply r = Get("/");
  EXPECT_EQ(r.body,
            Expected(root, "/",
                     {{"four.bin", FileRow("four.bin", "four.bin", "4194303 kB", kDate1)},
                      {"five.bin", FileRow("five.bin", "five.bin", "5242880 kB", kDate1)}}));
}

// private names ask for alice, secret names are closed to all, and below
// the virtual directory /vault/ the name vault/keep is closed: the
// forbidden names see the entries as their own links would ask for them.
class MirtListingProtected : public MirtListing {
 protected:
  void SetUp() override {
    Put("public.txt", "p");
    Put("private.htm", "for alice");
    Put("secret.txt", "for nobody");
    Put(",hidden.htm", "h");
    harness::MakeDirs(site / "vault");
    harness::WriteFile(site / "vault/open.txt", "o");
    harness::WriteFile(site / "vault/keep.txt", "k");
  }
  std::string Config(const char *show) const {
    return std::string(kListingOn) + "ShowProtectedFiles=" + show +
           "\nAddForbidden=private;alice\nAddForbidden=secret\n"
           "AddForbidden=vault/keep\nAddUser=alice;wonderland\n"
           "AddVirtual=/vault/;" + site.path() + "/vault\n";
  }
};

TEST_F(MirtListingProtected, ShownOnlyWithValidCredentials) {
  ASSERT_TRUE(Start(Config("0")));
  Reply r = Get("/");
  ExpectListingHeader(r);
  EXPECT_EQ(Texts(Rows(r.body)), std::set<std::string>{"public.txt"});
  r = Get("/", Basic("alice:wonderland"));
  EXPECT_EQ(Texts(Rows(r.body)),
            (std::set<std::string>{"public.txt", "private.htm"}));
  r = Get("/", Basic("alice:rabbit"));
  EXPECT_EQ(Texts(Rows(r.body)), std::set<std::string>{"public.txt"});
  r = Get("/vault/");
  ExpectListingHeader(r);
  EXPECT_EQ(Texts(Rows(r.body)), std::set<std::string>{"open.txt"});
}

TEST_F(MirtListingProtected, ShowProtectedFilesListsPasswordEntriesOnly) {
  ASSERT_TRUE(Start(Config("1")));
  Reply r = Get("/");
  EXPECT_EQ(Texts(Rows(r.body)),
            (std::set<std::string>{"public.txt", "private.htm"}));
  // Listed, but the entry itself still asks for the password.
  EXPECT_EQ(Get("/private.htm").status, 401);
  EXPECT_EQ(Texts(Rows(Get("/vault/").body)), std::set<std::string>{"open.txt"});
}

TEST_F(MirtListing, HeadOnADirectorySendsTheHeaderOnly) {
  Put("a.txt", "a");
  harness::MakeDirs(Root() + "/sub");
  ASSERT_TRUE(Start(kListingOn));
  int fds = OpenFds(server.proc.pid());
  Reply get = Get("/sub/");
  Reply head = Get("/sub/", "", "HEAD");
  ExpectListingHeader(head);
  EXPECT_EQ(head.raw.size(), head.head.size() + 4) << head.raw;
  EXPECT_EQ(head.body, "");
  EXPECT_EQ(head.Header("Content-type"), get.Header("Content-type"));
  // The directory opened for the page is closed again.
  EXPECT_TRUE(FdsBackTo(fds)) << OpenFds(server.proc.pid()) << " > " << fds;
}

TEST_F(MirtListing, HostileNamesRenderAsTextAndLinkToThemselves) {
  // name, visible text on the page, content
  struct Case {
    std::string name, text;
  } cases[] = {
      {"<img src=x onerror=alert(1)>", "&lt;img src=x onerror=alert(1)&gt;"},
      {"a#b.txt", "a#b.txt"},
      {"100% sure.txt", "100% sure.txt"},
      {"a%20b.txt", "a%20b.txt"},
      {"%25", "%25"},
      {"Tom & Jerry's \"best\".txt",
       "Tom &amp; Jerry&#39;s &quot;best&quot;.txt"},
      {"q?x=1;y=2.txt", "q?x=1;y=2.txt"},
      {"back\\slash.txt", "back\\slash.txt"},
      {"caf\xe9.txt", "caf\xe9.txt"},
      {"na\xc3\xafve.txt", "na\xc3\xafve.txt"},
      {"A", "A"},
      {std::string(255, 'n'), std::string(255, 'n')},
  };
  harness::MakeDirs(Root() + "/h");
  int i = 0;
  for (const Case &c : cases)
    harness::WriteFile(Root() + "/h/" + c.name, "content " + std::to_string(i++));
  // No request can name these, or their row would not fit the buffer:
  // they are left off the page rather than linked to the wrong place.
  for (const std::string &name :
       {std::string("%41"), std::string("x\xff"), std::string("a:b"),
        std::string(255, '"')})
    harness::WriteFile(Root() + "/h/" + name, "unlisted");
  harness::MakeDirs(Root() + "/h/sub dir <b>");
  ASSERT_TRUE(Start(kListingOn));

  Reply page = Get("/h/");
  ExpectListingHeader(page);
  bool complete = false;
  std::vector<Row> rows = Rows(page.body, &complete);
  EXPECT_TRUE(complete) << page.body;
  EXPECT_EQ(rows.size(), sizeof cases / sizeof cases[0] + 1);
  EXPECT_EQ(page.body.find("<img"), std::string::npos);
  EXPECT_EQ(page.body.find("dir <b>"), std::string::npos);
  size_t links = 0;
  for (size_t at = 0; (at = page.body.find("<a ", at)) != std::string::npos; at++)
    links++;
  EXPECT_EQ(links, rows.size() + 1);  // and the parent row
  std::map<std::string, Row> byText;
  for (const Row &r : rows) byText[r.text] = r;

  i = 0;
  for (const Case &c : cases) {
    std::string content = "content " + std::to_string(i++);
    auto it = byText.find(c.text);
    if (it == byText.end()) {
      ADD_FAILURE() << "no row shows " << c.text;
      continue;
    }
    const Row &row = it->second;
    for (unsigned char ch : row.href)
      EXPECT_TRUE(isalnum(ch) || strchr("-._~!$()*+,;=@%", ch))
          << "href " << row.href << " holds " << (int)ch;
    Reply back = Get("/h/" + row.href);
    EXPECT_EQ(back.status, 200) << row.href;
    EXPECT_EQ(back.body, content) << row.href;
  }
  auto dir = byText.find("sub dir &lt;b&gt;");
  ASSERT_NE(dir, byText.end());
  EXPECT_EQ(dir->second.href, "sub%20dir%20%3Cb%3E/");
  EXPECT_EQ(dir->second.size, "Directory");
  Reply sub = Get("/h/" + dir->second.href);
  ExpectListingHeader(sub);
  EXPECT_EQ(sub.body, ListingHead("/h/sub dir &lt;b&gt;/") + kParentRow +
                          kColumnTitles + kListingFoot);
}

TEST_F(MirtListing, PathThatWouldNotFitTheHeadIsRefused) {
  // As text each '"' takes six bytes: 255 of them leave the head no room.
  std::string quotes(255, '"');
  harness::MakeDirs(Root() + "/" + quotes);
  ASSERT_TRUE(Start(kListingOn));
  int fds = OpenFds(server.proc.pid());
  Reply r = Get("/" + quotes + "/");
  EXPECT_EQ(r.statusLine, "HTTP/1.0 500 Internal Error");
  EXPECT_EQ(r.body,
            "500 Internal Error\nFailed to open directory.\n\n"
            "Generated by Mirt/1.7.1");
  EXPECT_TRUE(FdsBackTo(fds));
}

TEST_F(MirtListing, FiveThousandEntriesCompleteInBoundedMemory) {
  // Long names make the page about 2.5 MB, far more than the server may
  // hold at once. To sort them it holds the names (about 1 MB here), and
  // nothing else per entry; they are released when the page ends.
  const int kCount = 5000;
  std::string dir = Root() + "/many";
  harness::MakeDirs(dir);
  std::set<std::string> names;
  for (int k = 0; k < kCount; k++) {
    char name[32];
    snprintf(name, sizeof name, "entry-%04d-", k);
    std::string full = name + std::string(190, 'x') + ".txt";
    harness::WriteFile(dir + "/" + full, "");
    names.insert(full);
  }
  harness::MakeDirs(Root() + "/few");
  harness::WriteFile(Root() + "/few/one.txt", "1");
  ASSERT_TRUE(Start(kListingOn));
  int pid = server.proc.pid();
  Get("/few/");  // the code paths of a listing, touched once
  long rssBefore = StatusKb(pid, "VmRSS"), peakBefore = StatusKb(pid, "VmHWM");
  ASSERT_GT(rssBefore, 0);

  Reply r = Get("/many/");
  ExpectListingHeader(r);
  EXPECT_GT(r.body.size(), 2400000u);
  bool complete = false;
  std::vector<Row> rows = Rows(r.body, &complete);
  EXPECT_TRUE(complete);
  EXPECT_EQ(rows.size(), (size_t)kCount);
  EXPECT_TRUE(Texts(rows) == names);
  std::vector<std::string> inOrder;
  for (const Row &row : rows) inOrder.push_back(row.text);
  EXPECT_TRUE(inOrder == std::vector<std::string>(names.begin(), names.end()));

  long rssAfter = StatusKb(pid, "VmRSS"), peakAfter = StatusKb(pid, "VmHWM");
  EXPECT_LT(rssAfter - rssBefore, 2048) << rssBefore << " kB -> " << rssAfter;
  EXPECT_LT(peakAfter - peakBefore, 2048) << peakBefore << " kB -> " << peakAfter;
}

}  // namespace
