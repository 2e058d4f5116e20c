// Persistent connections: several requests on one socket, pipelining, the
// answers that close, the keep-alive time-out, HEAD, thousands of clients
// at once (and a burst from thousands that were idle), and chromium reusing connections (curl and wget reuse theirs in
// clients_test.cpp, in clear text and encrypted, over either family).
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <string>
#include <vector>

#include "harness.h"
#include "mirt_fixture.h"

using harness::Conn;
using harness::WaitFor;
using mirt_test::MirtTest;
using mirt_test::OpenFds;
using mirt_test::ParseReply;
using mirt_test::Reply;

namespace {

// One answer read off a connection that stays open: the head up to its
// empty line, then as many body bytes as Content-length announces.
Reply ReadOne(Conn &c, bool head = false, double seconds = 5) {
  std::string raw;
  for (;;) {
    std::string line = c.ReadLine(seconds);
    if (line.empty()) return ParseReply(raw);  // time-out or end
    raw += line;
    if (line == "\r\n") break;
  }
  Reply r = ParseReply(raw);
  if (!head && r.Has("Content-length"))
    raw += c.ReadN(std::stoul(r.Header("Content-length")), seconds);
  return ParseReply(raw);
}

std::string Get11(const std::string &path, const std::string &extra = "") {
  return "GET " + path + " HTTP/1.1\r\nHost: x\r\n" + extra + "\r\n";
}

size_t Lines(const std::string &s) { return (size_t)std::count(s.begin(), s.end(), '\n'); }

// Raises this process's open file limit for `clients` sockets and spare;
// false when the hard limit does not allow it.
bool RoomForClients(int clients) {
  rlim_t want = (rlim_t)clients + 200;
  struct rlimit lim;
  getrlimit(RLIMIT_NOFILE, &lim);
  if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < want) return false;
  if (lim.rlim_cur >= want) return true;
  lim.rlim_cur = want;
  return setrlimit(RLIMIT_NOFILE, &lim) == 0;
}

class MirtPersistence : public MirtTest {
 protected:
  void SetUp() override {
    Put("a.txt", "alpha\n");
    Put("b.txt", "bravo bravo\n");
    Put("empty.txt", "");
    Put("dir/one.txt", "1");
  }
};

TEST_F(MirtPersistence, SeveralRequestsOnOneSocketThenClose) {
  ASSERT_TRUE(Start());
  Conn c;
  ASSERT_TRUE(c.Connect(port));
  for (int i = 0; i < 3; i++) {
    ASSERT_TRUE(c.Send(Get11(i % 2 ? "/b.txt" : "/a.txt")));
    Reply r = ReadOne(c);
    EXPECT_EQ(r.statusLine, "HTTP/1.1 200 Ok");
    EXPECT_EQ(r.Header("Connection"), "keep-alive");
    EXPECT_EQ(r.body, i % 2 ? "bravo bravo\n" : "alpha\n");
  }
  // HTTP/1.0 asks for it by name.
  ASSERT_TRUE(c.Send("GET /b.txt HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n"));
  Reply r = ReadOne(c);
  EXPECT_EQ(r.Header("Connection"), "keep-alive");
  EXPECT_EQ(r.body, "bravo bravo\n");
  // Errors with a body of known length keep it too; redirects likewise.
  ASSERT_TRUE(c.Send(Get11("/missing/")));
  r = ReadOne(c);
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.Header("Connection"), "keep-alive");
  EXPECT_EQ(r.body.size(), std::stoul(r.Header("Content-length")));
  ASSERT_TRUE(c.Send(Get11("/dir")));
  r = ReadOne(c);
  EXPECT_EQ(r.status, 301);
  EXPECT_EQ(r.Header("Connection"), "keep-alive");
  // The client's "close" ends it after the answer.
  ASSERT_TRUE(c.Send(Get11("/a.txt", "Connection: close\r\n")));
  r = ReadOne(c);
  EXPECT_EQ(r.Header("Connection"), "close");
  EXPECT_EQ(r.body, "alpha\n");
  EXPECT_TRUE(c.Closed(5));
  ASSERT_EQ(Stop(), 0);
  // One access line per request, each with its own byte count.
  std::string log = Log();
  EXPECT_EQ(Lines(log), 7u) << log;
  EXPECT_NE(log.find(" GET /dir/ 301 "), std::string::npos) << log;
}

TEST_F(MirtPersistence, PipelinedRequestsAreAnsweredInOrder) {
  Put("big.bin", mirt_test::Bytes(200000, 3));
  ASSERT_TRUE(Start());
  Conn c;
  ASSERT_TRUE(c.Connect(port));
  // Five requests in one piece, a HEAD and a range among them, and the
  // large answer in the middle must not let a later one overtake it.
  ASSERT_TRUE(c.Send(Get11("/a.txt") + Get11("/big.bin") +
                     "HEAD /b.txt HTTP/1.1\r\nHost: x\r\n\r\n" +
                     Get11("/b.txt", "Range: bytes=0-4\r\n") + Get11("/nothing/")));
  Reply r = ReadOne(c);
  EXPECT_EQ(r.body, "alpha\n");
  r = ReadOne(c);
  EXPECT_EQ(r.status, 200);
  EXPECT_TRUE(r.body == mirt_test::Bytes(200000, 3));
  r = ReadOne(c, true);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.Header("Content-length"), "12");
  EXPECT_EQ(r.Header("Connection"), "keep-alive");
  r = ReadOne(c);
  EXPECT_EQ(r.status, 206);
  EXPECT_EQ(r.body, "bravo");
  r = ReadOne(c);
  EXPECT_EQ(r.status, 404);
  // Nothing more was asked: nothing more comes, and the socket stays.
  EXPECT_EQ(c.ReadN(1, 0.3), "");
  ASSERT_TRUE(c.Send(Get11("/a.txt")));
  EXPECT_EQ(ReadOne(c).body, "alpha\n");
  // A request split across sends after a pipelined one still completes.
  ASSERT_TRUE(c.Send(Get11("/a.txt") + "GET /b.t"));
  EXPECT_EQ(ReadOne(c).body, "alpha\n");
  ASSERT_TRUE(c.Send("xt HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_EQ(ReadOne(c).body, "bravo bravo\n");
}

// With listings on, answers that carry no file (an error text, a
// redirect, 304, the head of a listing) once let the requests sent behind
// them out as body bytes and never answered them.
TEST_F(MirtPersistence, PipelinedRequestsBehindAnswersWithoutAFileWithListingsOn) {
  ASSERT_TRUE(Start("DirectoryListing=1\n"));
  Conn c;
  ASSERT_TRUE(c.Connect(port));
  ASSERT_TRUE(c.Send(Get11("/a.txt")));
  std::string etag = ReadOne(c).Header("ETag");
  ASSERT_FALSE(etag.empty());
  ASSERT_TRUE(c.Send(Get11("/missing") + Get11("/a.txt") + Get11("/dir") +
                     Get11("/a.txt", "If-None-Match: " + etag + "\r\n") +
                     "HEAD /dir/ HTTP/1.1\r\nHost: x\r\n\r\n" + Get11("/b.txt")));
  Reply r = ReadOne(c);
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body.substr(0, 14), "404 Not Found\n");
  EXPECT_EQ(ReadOne(c).body, "alpha\n");
  r = ReadOne(c);
  EXPECT_EQ(r.status, 301);
  EXPECT_EQ(r.body.size(), std::stoul(r.Header("Content-length")));
  r = ReadOne(c);
  EXPECT_EQ(r.status, 304);
  EXPECT_FALSE(r.Has("Content-length"));
  r = ReadOne(c, true);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.Header("Connection"), "keep-alive");
  r = ReadOne(c);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "bravo bravo\n");
  // Every byte that came was part of an answer.
  EXPECT_EQ(c.ReadN(1, 0.3), "");
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Lines(Log()), 7u) << Log();
}

// Answers whose end the client could not find, and requests that leave
// the stream in doubt, close the connection after the answer.
TEST_F(MirtPersistence, AnswersOfUnknownLengthAndDoubtfulRequestsClose) {
  harness::MakeDirs(home / "err");
  harness::WriteFile(home / "err/err404.htm", "<p>custom</p>");
  ASSERT_TRUE(Start("DirectoryListing=1\n"));
  struct Case {
    std::string request, why;
  } cases[] = {
      {"GET /a.txt HTTP/1.0\r\n\r\n", "HTTP/1.0 without keep-alive"},
      {"GET /a.txt\r\n\r\n", "no version"},
      {"POST /a.txt HTTP/1.1\r\nHost: x\r\nContent-length: 5\r\n\r\nhello",
       "a body the server does not read"},
      {Get11("/a.txt", "Transfer-Encoding: chunked\r\n"), "a body of any length"},
      {"GET\r\nHost: x\r\n\r\n", "an unreadable request line"},
  };
  for (const Case &k : cases) {
    Conn c;
    ASSERT_TRUE(c.Connect(port));
    ASSERT_TRUE(c.Send(k.request + Get11("/b.txt")));
    Reply r = ParseReply(c.ReadAll(5));
    EXPECT_EQ(r.Header("Connection"), "close") << k.why << "\n" << r.raw;
    // The request behind it is never answered.
    EXPECT_EQ(r.raw.find("bravo"), std::string::npos) << k.why;
  }
  // An empty file announces its 0, a listing goes in chunks; both keep
  // the connection.
  Conn e;
  ASSERT_TRUE(e.Connect(port));
  ASSERT_TRUE(e.Send(Get11("/dir/") + Get11("/empty.txt") + Get11("/b.txt")));
  Reply listing = ReadOne(e, true);
  EXPECT_EQ(listing.Header("Transfer-Encoding"), "chunked") << listing.raw;
  EXPECT_EQ(listing.Header("Connection"), "keep-alive");
  std::string chunks, line;
  while (!(line = e.ReadLine(5)).empty() && line != "0\r\n") chunks += line;
  EXPECT_EQ(e.ReadLine(5), "\r\n");
  EXPECT_NE(chunks.find("</html>"), std::string::npos) << chunks;
  Reply empty = ReadOne(e);
  EXPECT_EQ(empty.Header("Content-length"), "0") << empty.raw;
  EXPECT_EQ(empty.Header("Connection"), "keep-alive");
  EXPECT_EQ(ReadOne(e).body, "bravo bravo\n");
  Stop();
  // Custom error pages are sent to their end without a length.
  ASSERT_TRUE(Start("ExtendedMessages=0\n"));
  Conn c;
  ASSERT_TRUE(c.Connect(port));
  ASSERT_TRUE(c.Send(Get11("/missing/")));
  Reply r = ParseReply(c.ReadAll(5));
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body, "<p>custom</p>");
  EXPECT_EQ(r.Header("Connection"), "close");
}

TEST_F(MirtPersistence, AConnectionServesAThousandRequestsAtMost) {
  ASSERT_TRUE(Start());
  Conn c;
  ASSERT_TRUE(c.Connect(port));
  for (int i = 1; i <= 1000; i++) {
    ASSERT_TRUE(c.Send(Get11("/a.txt")));
    Reply r = ReadOne(c);
    ASSERT_EQ(r.body, "alpha\n") << "request " << i;
    ASSERT_EQ(r.Header("Connection"), i < 1000 ? "keep-alive" : "close") << i;
  }
  EXPECT_TRUE(c.Closed(5));
}

TEST_F(MirtPersistence, IdleConnectionEndsAfterKeepAliveTimeoutWithoutALogLine) {
  ASSERT_TRUE(Start("KeepAliveTimeout=1\n"));
  Conn c;
  ASSERT_TRUE(c.Connect(port));
  ASSERT_TRUE(c.Send(Get11("/a.txt")));
  EXPECT_EQ(ReadOne(c).body, "alpha\n");
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(c.Closed(5));
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GT(took, 0.8);
  EXPECT_LT(took, 3.0);
  // A next request begun but not finished is a request: it is logged as
  // timed out when the idle limit ends it.
  Conn d;
  ASSERT_TRUE(d.Connect(port));
  ASSERT_TRUE(d.Send(Get11("/a.txt") + "GET /b.txt HT"));
  EXPECT_EQ(ReadOne(d).body, "alpha\n");
  ASSERT_EQ(Stop(), 0);
  std::string log = Log();
  EXPECT_EQ(Lines(log), 3u) << log;
  EXPECT_NE(log.find("]   408 0\n"), std::string::npos) << log;
}

TEST_F(MirtPersistence, KeepAliveTimeoutZeroClosesEveryConnection) {
  ASSERT_TRUE(Start("KeepAliveTimeout=0\n"));
  Conn c;
  ASSERT_TRUE(c.Connect(port));
  ASSERT_TRUE(c.Send(Get11("/a.txt") + Get11("/b.txt")));
  Reply r = ParseReply(c.ReadAll(5));
  EXPECT_EQ(r.Header("Connection"), "close");
  EXPECT_EQ(r.body, "alpha\n");
}

// Five thousand clients connected at the same time, each answered twice
// over its own connection. Bounded: every wait has its deadline and the
// whole exchange must finish within a minute.
TEST_F(MirtPersistence, FiveThousandSimultaneousClients) {
  const int kClients = 5000;
  if (!RoomForClients(kClients)) GTEST_SKIP() << "the open file limit is below " << kClients;
  ASSERT_TRUE(Start("MaxConnections=6000\nMaxPerAddress=6000\nKeepAliveTimeout=60\n"));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  auto inTime = [&] { return std::chrono::steady_clock::now() < deadline; };
  std::vector<Conn> conns(kClients);
  // From a second loopback address: the clients' own ports then never
  // stand in the way of a port another test binds on 127.0.0.1.
  for (int i = 0; i < kClients && inTime(); i++) {
    ASSERT_TRUE(conns[i].Connect(port, "127.0.0.1", "127.0.0.2")) << "client " << i;
  }
  // All of them are held at once by the server.
  int base = 0;
  EXPECT_TRUE(WaitFor([&] { return (base = OpenFds(server.proc.pid())) >= kClients; }, 20))
      << base;
  for (int round = 0; round < 2; round++) {
    for (auto &c : conns) ASSERT_TRUE(c.Send(Get11(round ? "/b.txt" : "/a.txt")));
    int answered = 0;
    for (auto &c : conns) {
      if (!inTime()) break;
      Reply r = ReadOne(c);
      if (r.body == (round ? "bravo bravo\n" : "alpha\n")) answered++;
    }
    EXPECT_EQ(answered, kClients) << "round " << round;
  }
  EXPECT_TRUE(inTime());
  // Reset rather than closed: five thousand client ports left waiting out
  // their close would keep other tests from binding them for a minute.
  for (auto &c : conns) c.Reset();
  EXPECT_TRUE(WaitFor([&] { return OpenFds(server.proc.pid()) < 100; }, 20));
}

// Two thousand keep-alive clients answered once and then idle, so their
// request space went back to the pool; then all of them send half a head
// at once (each holds a space until its head ends), the rest, and read
// files larger than the sockets take in one go, so the server has
// thousands of answers in progress together. Every byte must reach its
// own client, and a second burst, on spaces given back and lent again,
// must be as exact.
TEST_F(MirtPersistence, TwoThousandIdleConnectionsThenABurstAllAnswered) {
  const int kClients = 2000, kFiles = 3;
  if (!RoomForClients(kClients)) GTEST_SKIP() << "the open file limit is below " << kClients;
  std::vector<std::string> bodies;
  for (int k = 0; k < kFiles; k++) {
    std::string body(160 * 1024 + k * 77, (char)('a' + k));
    for (size_t j = 0; j < body.size(); j += 61) body[j] = (char)('0' + (j / 61 + k) % 10);
    Put("f" + std::to_string(k) + ".bin", body);
    bodies.push_back(body);
  }
  ASSERT_TRUE(Start("MaxConnections=3000\nMaxPerAddress=3000\nKeepAliveTimeout=120\n"));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  auto inTime = [&] { return std::chrono::steady_clock::now() < deadline; };
  std::vector<Conn> conns(kClients);
  for (int i = 0; i < kClients && inTime(); i++) {
    ASSERT_TRUE(conns[i].Connect(port, "127.0.0.1", "127.0.0.3")) << "client " << i;
    ASSERT_TRUE(conns[i].Send(Get11("/a.txt")));
    ASSERT_EQ(ReadOne(conns[i]).body, "alpha\n") << "client " << i;
  }
  EXPECT_TRUE(WaitFor([&] { return OpenFds(server.proc.pid()) >= kClients; }, 20));
  for (int round = 0; round < 2; round++) {
    for (int half = 0; half < 2; half++)
      for (int i = 0; i < kClients; i++) {
        std::string request = Get11("/f" + std::to_string((i + round) % kFiles) + ".bin");
        size_t cut = request.size() / 2;
        ASSERT_TRUE(conns[i].Send(half ? request.substr(cut) : request.substr(0, cut)));
      }
    int answered = 0;
    for (int i = 0; i < kClients && inTime(); i++)
      if (ReadOne(conns[i], false, 30).body == bodies[(i + round) % kFiles]) answered++;
    EXPECT_EQ(answered, kClients) << "round " << round;
  }
  EXPECT_TRUE(inTime());
  for (auto &c : conns) c.Reset();
  EXPECT_TRUE(WaitFor([&] { return OpenFds(server.proc.pid()) < 100; }, 20));
}

}  // namespace

namespace {

class MirtPersistentClients : public MirtTest {
 protected:
  std::string Url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }
};

// A page with a dozen images: chromium fetches them over fewer connections
// than requests, which its own network log shows.
TEST_F(MirtPersistentClients, ChromiumLoadsAPageOverPersistentConnections) {
  if (harness::Run("command -v chromium", nullptr, 10) != 0)
    GTEST_SKIP() << "chromium not installed: apt-get install chromium";
  // A 1x1 GIF.
  const std::string gif("GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff!"
                        "\xf9\x04\x01\x00\x00\x00\x00,\x00\x00\x00\x00\x01\x00\x01\x00"
                        "\x00\x02\x02\x44\x01\x00;",
                        43);
  std::string page = "<html><body>";
  for (int i = 0; i < 12; i++) {
    Put("img" + std::to_string(i) + ".gif", gif);
    page += "<img src=\"img" + std::to_string(i) + ".gif\">";
  }
  Put("index.htm", page + "<p id=done>loaded</p></body></html>");
  ASSERT_TRUE(Start("AddType=.gif;image/gif\n"));
  harness::TempDir profile;
  std::string netlog = home / "net.json";
  std::string dom;
  int status = harness::Run(
      "chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
      "--disable-background-networking --disable-component-update --disable-sync "
      "--user-data-dir='" + profile.path() + "' --log-net-log='" + netlog +
          "' --dump-dom '" + Url("/") + "' 2>/dev/null",
      &dom, 60, false);
  ASSERT_EQ(status, 0) << "chromium ended with " << status << " (124: time limit)";
  EXPECT_NE(dom.find("loaded"), std::string::npos) << dom;
  std::string counts;
  ASSERT_EQ(harness::Run(
                "python3 -c '\n"
                "import json, sys\n"
                "d = json.load(open(sys.argv[1]))\n"
                "t = d[\"constants\"][\"logEventTypes\"]\n"
                "begin = d[\"constants\"][\"logEventPhase\"][\"PHASE_BEGIN\"]\n"
                "def n(name): return sum(1 for e in d[\"events\"]\n"
                "    if e[\"type\"] == t[name] and e.get(\"phase\") == begin)\n"
                "print(n(\"TCP_CONNECT\"), n(\"HTTP_TRANSACTION_SEND_REQUEST\"))\n"
                "' '" + netlog + "'",
                &counts, 30, false),
            0)
      << counts;
  int connects = 0, requests = 0;
  ASSERT_EQ(sscanf(counts.c_str(), "%d %d", &connects, &requests), 2) << counts;
  EXPECT_GE(requests, 13);
  EXPECT_GE(connects, 1);
  EXPECT_LT(connects, requests) << "every request took a connection of its own";
  ASSERT_EQ(Stop(), 0);
  std::string log = Log();
  EXPECT_GE(Lines(log), 13u) << log;
}

}  // namespace
