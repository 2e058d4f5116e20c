// What caches and browsers rely on: validators and 304, If-Range, and the
// content types known without configuration.
#include <gtest/gtest.h>
#include <utime.h>

#include <regex>
#include <string>

#include "harness.h"
#include "mirt_fixture.h"

using mirt_test::Bytes;
using mirt_test::MirtTest;
using mirt_test::Reply;

namespace {

// The file's time: Sun, 06 Nov 1994 08:49:37 GMT.
const time_t kTime = 784111777;
const char kDateText[] = "Sun, 06 Nov 1994 08:49:37 GMT";
const char kTag[] = "\"3e8-2ebc98a1\"";  // 1000 bytes at kTime

class MirtCaching : public MirtTest {
 protected:
  std::string data = Bytes(1000, 3);
  void SetUp() override {
    Put("d.bin", data);
    Put("dir/index.htm", "<p>index</p>");
    harness::MakeDirs(Root() + "/list");
    for (const char *name : {"d.bin", "dir/index.htm"}) {
      struct utimbuf times = {kTime, kTime};
      ASSERT_EQ(utime((Root() + "/" + name).c_str(), &times), 0);
    }
  }
  void ExpectNotModified(const Reply &r, const std::string &why) {
    EXPECT_TRUE(std::regex_match(r.raw, std::regex(
        "HTTP/1\\.0 304 Not Modified\r\nDate: [A-Z][a-z][a-z], \\d\\d [A-Z][a-z][a-z] "
        "\\d{4} \\d\\d:\\d\\d:\\d\\d GMT\r\nServer: Mirt/1\\.7\\.1\r\n"
        "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\nETag: \"3e8-2ebc98a1\"\r\n"
        "Connection: close\r\n\r\n")))
        << why << "\n" << r.raw;
  }
};

TEST_F(MirtCaching, ValidatorsAndNotModified) {
  ASSERT_TRUE(Start("DirectoryListing=1\n"));
  Reply r = Get("/d.bin");
  EXPECT_EQ(r.Header("ETag"), kTag);
  EXPECT_EQ(r.Header("Last-Modified"), kDateText);
  const std::string tag = kTag;
  for (const std::string &h :
       {"If-None-Match: " + tag, "If-None-Match: \"x\", " + tag,
        "If-None-Match: W/" + tag, std::string("If-None-Match: *"),
        std::string("If-Modified-Since: ") + kDateText,
        std::string("If-Modified-Since: Sunday, 06-Nov-94 08:49:37 GMT"),
        std::string("If-Modified-Since: Sun Nov  6 08:49:37 1994"),
        std::string("If-Modified-Since: Mon, 07 Nov 1994 00:00:00 GMT")})
    ExpectNotModified(Get("/d.bin", h + "\r\n"), h);
  ExpectNotModified(Get("/d.bin", "If-None-Match: " + tag + "\r\n", "HEAD"), "HEAD");
  // Validators on an index file are its own.
  EXPECT_EQ(Get("/dir/", "If-None-Match: \"3e8-2ebc98a1\"\r\n").status, 200);
  EXPECT_EQ(Get("/dir/", "If-Modified-Since: " + std::string(kDateText) + "\r\n").status,
            304);

  // The full answer when the copy is older, the tag another, the date
  // unreadable or in the future; If-None-Match decides alone when present.
  for (const std::string &h :
       {std::string("If-Modified-Since: Sun, 06 Nov 1994 08:49:36 GMT"),
        std::string("If-None-Match: \"3e8-2ebc98a0\""),
        std::string("If-None-Match: \"x\"\r\nIf-Modified-Since: ") + kDateText,
        std::string("If-Modified-Since: yesterday"),
        std::string("If-Modified-Since: Sun, 06 Nov 1994 08:49"),
        std::string("If-Modified-Since: Fri, 01 Jan 9999 00:00:00 GMT")}) {
    Reply full = Get("/d.bin", h + "\r\n");
    EXPECT_EQ(full.status, 200) << h;
    EXPECT_TRUE(full.body == data) << h;
  }
  // A conditional range: 304 comes first, as for the whole file.
  EXPECT_EQ(Get("/d.bin", "Range: bytes=0-9\r\nIf-None-Match: " + tag + "\r\n").status, 304);

  // Listings and error pages carry no validator and are never 304.
  Reply listing = Get("/list/", "If-Modified-Since: Fri, 01 Jan 2100 00:00:00 GMT\r\n");
  EXPECT_EQ(listing.status, 200);
  EXPECT_FALSE(listing.Has("ETag"));
  Reply missing = Get("/none.txt", "If-None-Match: *\r\n");
  EXPECT_EQ(missing.status, 404);
  EXPECT_FALSE(missing.Has("ETag"));

  // A changed file has another tag.
  Put("d.bin", data + "x");
  EXPECT_EQ(Get("/d.bin", "If-None-Match: " + tag + "\r\n").status, 200);
}

TEST_F(MirtCaching, IfRangeSendsAPartOnlyOfTheSameVersion) {
  ASSERT_TRUE(Start());
  auto ranged = [&](const std::string &ifRange) {
    return Get("/d.bin", "Range: bytes=10-19\r\nIf-Range: " + ifRange + "\r\n");
  };
  for (const std::string &same : {std::string(kTag), std::string(kDateText)}) {
    Reply r = ranged(same);
    EXPECT_EQ(r.status, 206) << same;
    EXPECT_EQ(r.Header("Content-Range"), "bytes 10-19/1000") << same;
    EXPECT_TRUE(r.body == data.substr(10, 10)) << same;
  }
  for (const std::string &other :
       {std::string("\"3e8-0\""), "W/" + std::string(kTag),
        std::string("Sun, 06 Nov 1994 08:49:38 GMT"), std::string("garbage")}) {
    Reply r = ranged(other);
    EXPECT_EQ(r.status, 200) << other;
    EXPECT_FALSE(r.Has("Content-Range")) << other;
    EXPECT_TRUE(r.body == data) << other;
  }
}

// The lines of the longest matching prefix go with 2xx and 304 answers;
// HSTS only over TLS, so never on this plain port.
TEST_F(MirtCaching, AddedHeadersByLongestPrefix) {
  ASSERT_TRUE(Start("AddHeader=/;Cache-Control: no-cache\n"
                    "AddHeader=/;Strict-Transport-Security: max-age=60\n"
                    "AddHeader=/dir/;Cache-Control: max-age=600\n"
                    "AddHeader=/dir/;Access-Control-Allow-Origin: *\n"));
  Reply r = Get("/d.bin");
  EXPECT_EQ(r.Header("Cache-Control"), "no-cache") << r.raw;
  EXPECT_FALSE(r.Has("Strict-Transport-Security")) << r.raw;
  EXPECT_FALSE(r.Has("Access-Control-Allow-Origin"));
  r = Get("/dir/", std::string("If-None-Match: ") + "\"c-2ebc98a1\"\r\n");
  EXPECT_EQ(r.Header("Cache-Control"), "max-age=600") << r.raw;
  EXPECT_EQ(r.Header("Access-Control-Allow-Origin"), "*");
  r = Get("/d.bin", std::string("If-None-Match: ") + kTag + "\r\n");
  EXPECT_EQ(r.status, 304);
  EXPECT_EQ(r.Header("Cache-Control"), "no-cache") << r.raw;
  EXPECT_FALSE(Get("/missing").Has("Cache-Control"));
}

// NAME.br / NAME.gz beside a file go to clients that take them, with the
// plain file's type and validators of their own; every answer that could
// have been another says it varies. app.js is above the kept-file size.
TEST_F(MirtCaching, CompressedVariantsByAcceptEncoding) {
  const std::string plain = Bytes(3000, 5), gz = Bytes(2500, 6), br = Bytes(2400, 7);
  const std::pair<const char *, std::string> files[] = {
      {"app.js", plain}, {"app.js.gz", gz}, {"app.js.br", br}, {"k.css", "k{}"},
      {"k.css.gz", "gz-of-k"}};
  for (const auto &f : files) {
    Put(f.first, f.second);
    struct utimbuf times = {kTime, kTime};
    ASSERT_EQ(utime((Root() + "/" + f.first).c_str(), &times), 0);
  }
  ASSERT_TRUE(Start());
  auto get = [&](const std::string &accept, const std::string &more = "",
                 const std::string &method = "GET", const char *path = "/app.js") {
    return Get(path, "Accept-Encoding: " + accept + "\r\n" + more, method);
  };
  const std::pair<const char *, const char *> cases[] = {
      {"identity", ""}, {"gzip", "gzip"}, {"gzip, br", "br"}, {"br;q=0, gzip", "gzip"},
      {"gzip;q=0", ""}};
  for (const auto &c : cases) {
    Reply r = get(c.first);
    EXPECT_TRUE(r.body == (c.second[0] == 'g' ? gz : c.second[0] ? br : plain)) << c.first;
    EXPECT_EQ(r.Header("Content-Encoding"), c.second) << c.first;
    EXPECT_EQ(r.Header("Vary"), "Accept-Encoding") << c.first;
    EXPECT_EQ(r.Header("Content-type"), "text/javascript; charset=utf-8") << c.first;
  }
  // The variant's own validators and ranges.
  std::string tag = get("gzip").Header("ETag");
  Reply part = get("gzip", "Range: bytes=2-5\r\nIf-Range: " + tag + "\r\n");
  EXPECT_EQ(part.Header("Content-Range"), "bytes 2-5/2500");
  EXPECT_TRUE(part.body == gz.substr(2, 4));
  EXPECT_EQ(get("gzip", "", "HEAD").Header("Content-length"), "2500");
  Reply same = get("gzip", "If-None-Match: " + tag + "\r\n");
  EXPECT_TRUE(same.status == 304 && same.Header("Vary") == "Accept-Encoding") << same.raw;
  EXPECT_EQ(Get("/app.js", "If-None-Match: " + tag + "\r\n").status, 200);  // not plain's
  // Kept files: the variant and the plain file stay apart.
  for (int i = 0; i < 2; i++)
    EXPECT_EQ(get("gzip", "", "GET", "/k.css").body + Get("/k.css").body, "gz-of-kk{}");
  EXPECT_FALSE(get("gzip, br", "", "GET", "/d.bin").Has("Vary"));
  // A variant older than the file is stale.
  struct utimbuf older = {kTime - 1, kTime - 1};
  ASSERT_EQ(utime((Root() + "/app.js.br").c_str(), &older), 0);
  EXPECT_TRUE(get("br, gzip").body == gz);
  ASSERT_EQ(Stop(), 0);
  ASSERT_TRUE(Start("CompressedVariants=0\n"));
  EXPECT_TRUE(get("gzip").raw.find("Accept-Encoding") == std::string::npos);
}

TEST_F(MirtCaching, ContentTypesWithoutConfiguration) {
  struct Case {
    const char *name, *type;
  } cases[] = {
      {"s.css", "text/css; charset=utf-8"},
      {"m.MJS", "text/javascript; charset=utf-8"},
      {"n.mjs", "text/javascript; charset=utf-8"},
      {"p.html", "text/html; charset=utf-8"},
      {"d.json", "application/json"},
      {"i.svg", "image/svg+xml"},
      {"i.png", "image/png"},
      {"i.webp", "image/webp"},
      {"f.woff2", "font/woff2"},
      {"w.wasm", "application/wasm"},
      {"v.mp4", "video/mp4"},
      {"a.tar", "application/x-tar"},
      {"s.VTT", "text/vtt; charset=utf-8"},
      {"l.m3u8", "application/vnd.apple.mpegurl"},
      {"o.opus", "audio/ogg"},
      {"u.xyz-none", "application/octet-stream"},
      // AddType lines win over the table.
      {"p.htm", "text/html"},
      {"m.js", "application/x-old"},
      {"t.txt", "text/plain"},
      {"x.css2", "application/octet-stream"},
      {"c.CSS", "text/css; charset=utf-8"},
  };
  for (const Case &c : cases) Put(c.name, "z");
  ASSERT_TRUE(Start("AddType=.js;application/x-old\n"));
  for (const Case &c : cases)
    EXPECT_EQ(Get(std::string("/") + c.name).Header("Content-type"), c.type) << c.name;
  // What the table lacks, the system's list knows; where they differ, the
  // system's list wins.
  if (harness::Exists("/etc/mime.types")) {
    Put("b.EPUB", "z");
    EXPECT_EQ(Get("/b.EPUB").Header("Content-type"), "application/epub+zip");
    Put("x.xml", "z");
    EXPECT_EQ(Get("/x.xml").Header("Content-type"), "application/xml");
  }
}

}  // namespace
