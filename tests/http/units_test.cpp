// The pieces of mirt with tricky arithmetic: Base64 credentials, the
// code-by-code %XX decoding, and resolution without a server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <map>
#include <random>
#include <vector>
#include <string>

#include "client_limits.h"
#include "config.h"
#include "connections.h"
#include "http_server.h"
#include "password_guard.h"
#include "request_parser.h"
#include "resolve.h"
#include "response.h"

namespace {

std::string Decode64(const std::string &in, int *result = nullptr) {
  char out[64];
  memset(out, 'Z', sizeof out);
  int r = DecodeBase64(in.c_str(), out, sizeof out);
  if (result) *result = r;
  return r == 0 ? std::string(out) : "<fail>";
}

TEST(MirtUnits, DecodeBase64) {
  EXPECT_EQ(Decode64("YWxpY2U6c2VjcmV0"), "alice:secret");
  EXPECT_EQ(Decode64("YWxpY2U6cHc="), "alice:pw");  // '=' yields NUL bytes
  EXPECT_EQ(Decode64("YQ"), "a");                   // short last group
  EXPECT_EQ(Decode64(""), "");
  int r = 0;
  Decode64("YW!=", &r);
  EXPECT_EQ(r, -1);
  Decode64("YW x", &r);
  EXPECT_EQ(r, -1);
  // In place, as the server decodes the credentials.
  char buf[64] = "Ym9iOnA6dw==";
  ASSERT_EQ(DecodeBase64(buf, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "bob:p:w");
  // An output that would not fit is refused, not cut.
  char small[4];
  EXPECT_EQ(DecodeBase64("YWxpY2U6", small, sizeof small), -1);
}

std::string DecodedUrl(const std::string &in) {
  char buf[600];
  snprintf(buf, sizeof buf, "%s", in.c_str());
  DecodeURL(buf);
  return buf;
}

TEST(MirtUnits, DecodeUrlCodeByCode) {
  EXPECT_EQ(DecodedUrl("/a%20b.htm"), "/a b.htm");
  EXPECT_EQ(DecodedUrl("/a%2Fb"), "/a/b");
  // Hex digits of either case name the same byte.
  EXPECT_EQ(DecodedUrl("/a%2fb"), "/a/b");
  EXPECT_EQ(DecodedUrl("/caf%c3%a9.txt"), "/caf\xc3\xa9.txt");
  EXPECT_EQ(DecodedUrl("/%2e%2E/x"), "/../x");
  EXPECT_EQ(DecodedUrl("/%25%34%31"), "/A");
  EXPECT_EQ(DecodedUrl("/%2E%2E/x"), "/../x");
  // A '%' decoded from %25 joins the next two characters into an escape
  // that a later (higher) code decodes, never an earlier one.
  EXPECT_EQ(DecodedUrl("/%2541"), "/A");
  EXPECT_EQ(DecodedUrl("/%252F"), "//");
  EXPECT_EQ(DecodedUrl("/%2520"), "/%20");
  EXPECT_EQ(DecodedUrl("/%2525"), "/%25");
  EXPECT_EQ(DecodedUrl("/%00%0A%FF"), "/%00%0A%FF");
  EXPECT_EQ(DecodedUrl("/%0a%ff"), "/%0a%ff");
  EXPECT_EQ(DecodedUrl("/%1F%7F%80"), "/\x1f\x7f\x80");
  EXPECT_EQ(DecodedUrl("/%"), "/%");
  EXPECT_EQ(DecodedUrl("/%4"), "/%4");
  EXPECT_EQ(DecodedUrl("%41%42%43"), "ABC");
}

}  // namespace

namespace {

// The failed-login window: ten failures lock the address out until a
// minute after the first of them; the minute over, it starts afresh.
TEST(MirtUnits, LoginGuardWindow) {
  static LoginGuard guard;  // large; zeroed like the server's record
  const int64_t t = 5000000;
  for (int i = 0; i < 9; i++) NoteFailedLogin(&guard, "10.0.0.1", t + i * 1000);
  EXPECT_FALSE(LockedOut(&guard, "10.0.0.1", t + 9000));
  NoteFailedLogin(&guard, "10.0.0.1", t + 9000);
  EXPECT_TRUE(LockedOut(&guard, "10.0.0.1", t + 9000));
  EXPECT_TRUE(LockedOut(&guard, "10.0.0.1", t + kGuardWindowMs - 1));
  EXPECT_FALSE(LockedOut(&guard, "10.0.0.10", t + 9000));
  EXPECT_FALSE(LockedOut(&guard, "10.0.0.1", t + kGuardWindowMs));
  // After the minute one failure is one failure again.
  NoteFailedLogin(&guard, "10.0.0.1", t + kGuardWindowMs + 1);
  EXPECT_FALSE(LockedOut(&guard, "10.0.0.1", t + kGuardWindowMs + 2));

  // A full table still takes a new address: the entry whose window began
  // first gives way, and the newcomer is counted from its first failure.
  for (int i = 0; i < kGuardSlots + 20; i++) {
    char address[32];
    snprintf(address, sizeof address, "10.1.%d.%d", i / 256, i % 256);
    NoteFailedLogin(&guard, address, t + kGuardWindowMs + 3);
  }
  for (int i = 0; i < 10; i++) NoteFailedLogin(&guard, "10.9.9.9", t + kGuardWindowMs + 4);
  EXPECT_TRUE(LockedOut(&guard, "10.9.9.9", t + kGuardWindowMs + 5));
}

}  // namespace

// The per-address counts against a plain model: many addresses in a small
// table collide, and taking connections away in any order must leave every
// other address's count as it was.
TEST(AddressCounts, AgreeWithAModelThroughCollisionsAndRemovals) {
  HttpServer s;
  memset(&s, 0, sizeof s);
  s.maxConnections = 64;
  s.maxPerAddress = 3;
  ASSERT_EQ(InitAddressCounts(&s), 0);
  std::mt19937 rnd(11);
  std::map<std::string, uint32_t> model;
  std::vector<Connection *> open;
  for (int step = 0; step < 4000; step++) {
    if (open.size() < 64 && (open.empty() || rnd() % 2 == 0)) {
      Connection *c = (Connection *)calloc(1, sizeof(Connection));
      // IPv6 texts longer than 31 characters share the table with
      // dotted ones: each must be found whole, not by a cut-off prefix.
      const char *form = rnd() % 2 ? "10.0.%u.%u" : "2001:db8:aaaa:bbbb:cccc:dddd:%u:%u";
      snprintf(c->clientAddress, sizeof c->clientAddress, form, (unsigned)(rnd() % 3),
               (unsigned)(rnd() % 40));
      bool over = OverAddressLimit(&s, c);
      uint32_t held = ++model[c->clientAddress];
      ASSERT_EQ(over, held > 3) << c->clientAddress << " step " << step;
      open.push_back(c);
    } else {
      size_t k = rnd() % open.size();
      Connection *c = open[k];
      UncountAddress(&s, c);
      UncountAddress(&s, c);  // a second time changes nothing
      model[c->clientAddress]--;
      free(c);
      open.erase(open.begin() + (long)k);
    }
  }
  // Every address is found with its exact count: one more connection is
  // over a limit of that count and within a limit one higher.
  for (const auto &entry : model) {
    Connection probe{};
    snprintf(probe.clientAddress, sizeof probe.clientAddress, "%s", entry.first.c_str());
    for (uint32_t limit : {entry.second, entry.second + 1}) {
      s.maxPerAddress = limit;
      EXPECT_EQ(OverAddressLimit(&s, &probe), limit == entry.second) << entry.first;
      UncountAddress(&s, &probe);
    }
  }
  for (Connection *c : open) free(c);
  FreeAddressCounts(&s);
}

// Resolution without a server: a head parsed, resolved and rendered in
// memory, the way the connection does it.
class Resolution : public ::testing::Test {
 protected:
  Resolution() {
    char dir[] = "/tmp/mrXXXXXX";
    root_ = mkdtemp(dir) ? dir : "";
    snprintf(server_.protocol, sizeof server_.protocol, "HTTP/1.0");
    snprintf(server_.serverName, sizeof server_.serverName, "Mirt/1.7.1");
    server_.extendedMessages = '1';
    server_.directoryListing = '0';
  }
  ~Resolution() override {
    if (c_) {
      CloseFiles(c_);
      free(c_);
    }
    FreeList(&server_.virtuals);
    if (root_.rfind("/tmp/mr", 0) == 0) rmdir(root_.c_str());
  }
  void Virtual(const std::string &prefix) {
    ListItem *item = AddListItem(&server_.virtuals, (prefix + ";" + root_).c_str());
    item->length = (uint32_t)prefix.size();
    item->text[item->length] = '\0';
  }
  const Connection &Answer(const std::string &head) {
    if (c_) free(c_);
    c_ = (Connection *)calloc(1, sizeof(Connection));
    c_->server = &server_;
    ResetConnection(c_);
    memcpy(c_->head, head.data(), head.size() + 1);
    c_->request.received = (int32_t)head.size();
    ParseRequest(&c_->request, c_->head, false);
    ResolveRequest(c_, false);
    BuildHeader(c_);
    return *c_;
  }
  std::string Body() const { return std::string(c_->output.body, (size_t)c_->output.bodyLength); }
  static std::string Text(const std::string &status, const std::string &message) {
    return status + "\n" + message + "\n\nGenerated by Mirt/1.7.1";
  }

  HttpServer server_{};
  std::string root_;
  Connection *c_ = nullptr;
};

TEST_F(Resolution, NoMatchingVirtualDirectory) {
  Virtual("/x/");
  EXPECT_EQ(Answer("GET /y HTTP/1.0\r\n\r\n").decision.status, 500);
  EXPECT_EQ(Body(), Text("500 Internal Error",
                         "No virtual directory was found. Check configuration!"));
}

TEST_F(Resolution, PathLengthAndLineEnds) {
  Virtual("/");
  EXPECT_EQ(Answer("GET /" + std::string(490, 'p') + " HTTP/1.0\r\n\r\n").decision.status, 414);
  EXPECT_EQ(Body(), Text("414 Request-url Too Long",
                         "The requested URL was too long for the server to handle "
                         "(filename buffer is too small)."));
  // A request line without version: the path runs on to the next blank.
  EXPECT_EQ(Answer("GET /a.txt\r\n\r\n").decision.status, 414);
  EXPECT_EQ(Answer("GET /a.txt\r\nHost: x\r\n\r\n").decision.status, 403);
}
