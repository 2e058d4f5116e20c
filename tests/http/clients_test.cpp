// Real clients against mirt: curl (with ranges, resume, revalidation and
// redirects), wget (with resume and a recursive crawl), h2load pipelining,
// and Python's
// http.client and urllib; contents compared byte for byte. Each session is
// written once and runs over IPv4 and IPv6, on the plain port and on the
// TLS one.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "mirt_fixture.h"
#include "tls.h"

using harness::ReadFile;
using harness::WriteFile;
using mirt_test::Bytes;
using mirt_test::MirtTest;

namespace {

struct Variant {
  bool ipv6, tls;
  bool userSpace = false;  // TLS file data kept from the kernel's encryption
};

class MirtClients : public MirtTest, public ::testing::WithParamInterface<Variant> {
 protected:
  std::string data = Bytes(300000, 7);
  bool six = GetParam().ipv6, tls = GetParam().tls, userSpace = GetParam().userSpace;
  unsigned tlsPort = 0;

  void SetUp() override {
    if (six && !harness::Ipv6Loopback()) GTEST_SKIP() << "no ::1 on this machine";
    if (userSpace && !TlsKernelOffered()) GTEST_SKIP() << "the Tls variants are in user space";
    if (userSpace) setenv("ORVALD_TLS_USER_SPACE", "1", 1);  // for the servers started
    Put("big.bin", data);
    Put("index.htm", "<p>home</p>");
    Put("dir/index.htm", "<p>dir</p>");
    Put("private/index.htm", "<p>members</p>");
    // The password "demo", kept as a hash.
    ASSERT_TRUE(StartVariant("AddForbidden=private;demo\nAddUser=demo;$6$w7oKhVq4xkal6VxH$yh7V5eph6tG8342FNr3O/WyicWHehKeW/ZbtNS.FZS6UFtX/YgmkNjKjCholdSvvpBbF/bD.1rTYNs88fUYtT0\n"));
  }
  // Starts mirt on the variant's address, with a TLS port when encrypted;
  // redirects name the address the clients use.
  bool StartVariant(const std::string &keys) {
    std::string more = keys;
    if (six) more += "Address=::1\nExternIP=http://[::1]:" + std::to_string(port) + "\n";
    if (tls) {
      do tlsPort = harness::FreePort();
      while (tlsPort == port);
      more += TlsKeys(tlsPort);
    }
    if (!Start(more)) return false;
    return !tls || harness::WaitFor([&] { return harness::PortListening(tlsPort); }, 10);
  }
  std::string Host() const { return six ? "[::1]" : "127.0.0.1"; }
  std::string Url(const std::string &path) const {
    return (tls ? "https://" : "http://") + Host() + ":" + std::to_string(tls ? tlsPort : port) +
           path;
  }
  // The clients as each variant runs them (the certificate is self-signed).
  std::string Curl() const { return tls ? "curl -g -k " : "curl -g "; }
  std::string Wget() const { return tls ? "wget --no-check-certificate " : "wget "; }
  // Python's urllib opens with this prefix of a script.
  std::string Python() const {
    return "import ssl, sys, urllib.request\n"
           "ctx = ssl.create_default_context()\n"
           "ctx.check_hostname = False\n"
           "ctx.verify_mode = ssl.CERT_NONE\n"
           "urllib.request.install_opener(urllib.request.build_opener("
           "urllib.request.HTTPSHandler(context=ctx)))\n";
  }
  ~MirtClients() override { unsetenv("ORVALD_TLS_USER_SPACE"); }
  std::string Out(const std::string &name) const { return home / name; }
  // Runs a command; its output when it fails.
  void Ok(const std::string &cmd, std::string *out = nullptr) {
    std::string text;
    int status = harness::Run(cmd, &text, 60);
    EXPECT_EQ(status, 0) << cmd << "\n" << text;
    if (out) *out = text;
  }
};

std::string Name(const ::testing::TestParamInfo<Variant> &info) {
  return std::string(info.param.ipv6 ? "Ipv6" : "Ipv4") + (info.param.tls ? "Tls" : "") +
         (info.param.userSpace ? "UserSpace" : "");
}

TEST_P(MirtClients, Curl) {
  Ok(Curl() + "-sS -o '" + Out("c1") + "' " + Url("/big.bin"));
  EXPECT_TRUE(ReadFile(Out("c1")) == data);
  Ok(Curl() + "-sS -r 0-99 -o '" + Out("c2") + "' " + Url("/big.bin"));
  EXPECT_TRUE(ReadFile(Out("c2")) == data.substr(0, 100));
  Ok(Curl() + "-sS -r 299900- -o '" + Out("c3") + "' " + Url("/big.bin"));
  EXPECT_TRUE(ReadFile(Out("c3")) == data.substr(299900));
  // Resume a download cut after 123457 bytes.
  WriteFile(Out("c4"), data.substr(0, 123457));
  Ok(Curl() + "-sS -C - -o '" + Out("c4") + "' " + Url("/big.bin"));
  EXPECT_TRUE(ReadFile(Out("c4")) == data);
  std::string code;
  Ok(Curl() + "-s -o /dev/null -w '%{http_code}' " + Url("/private/"), &code);
  EXPECT_EQ(code, "401");
  Ok(Curl() + "-sS -u demo:demo " + Url("/private/"), &code);
  EXPECT_EQ(code, "<p>members</p>");
  Ok(Curl() + "-sS -L " + Url("/dir"), &code);
  EXPECT_EQ(code, "<p>dir</p>");
  std::string head;
  Ok(Curl() + "-sS -I " + Url("/big.bin"), &head);
  EXPECT_NE(head.find("Content-length: 300000\r\n"), std::string::npos) << head;
  // The answer speaks the client's HTTP/1.1 (ALPN settles on it over TLS),
  // so curl keeps one connection for six URLs.
  Ok(Curl() + "-sS -v --http1.1 -o /dev/null " + Url("/dir/"), &head);
  EXPECT_NE(head.find("< HTTP/1.1 200 Ok"), std::string::npos) << head;
  std::string urls = Curl() + "-sS -v --http1.1";
  for (const char *path : {"/", "/dir/", "/big.bin", "/", "/dir/", "/"})
    urls += " -o /dev/null " + Url(path);
  Ok(urls, &head);
  size_t connects = 0;
  for (size_t at = head.find("Connected to"); at != std::string::npos;
       at = head.find("Connected to", at + 1))
    connects++;
  EXPECT_EQ(connects, 1u) << head;
  if (tls) {
    EXPECT_NE(head.find("ALPN: server accepted http/1.1"), std::string::npos) << head;
    // The plain port still serves beside it.
    Ok(Curl() + "-s -o /dev/null -w '%{http_code}' http://" + Host() + ":" +
           std::to_string(port) + "/dir/",
       &code);
    EXPECT_EQ(code, "200");
  }
  ASSERT_EQ(Stop(), 0);
  std::string log = Log();
  EXPECT_NE(log.find(" GET /big.bin 200 "), std::string::npos) << log;
  EXPECT_NE(log.find(" GET /big.bin 206 "), std::string::npos) << log;
  // The client's address in full.
  EXPECT_NE(log.find(six ? "::1 [" : "127.0.0.1 ["), std::string::npos) << log;
}

TEST_P(MirtClients, Wget) {
  Ok(Wget() + "-q -O '" + Out("w1") + "' " + Url("/big.bin"));
  EXPECT_TRUE(ReadFile(Out("w1")) == data);
  // wget asks again with the credentials once it sees the challenge.
  Ok(Wget() + "-q --user=demo --password=demo -O '" + Out("w2") + "' " + Url("/private/"));
  EXPECT_EQ(ReadFile(Out("w2")), "<p>members</p>");
  harness::MakeDirs(home / "resume");
  WriteFile(home / "resume/big.bin", data.substr(0, 65536));
  Ok("cd '" + home / "resume" + "' && " + Wget() + "-q -c " + Url("/big.bin"));
  EXPECT_TRUE(ReadFile(home / "resume/big.bin") == data);
  // Following the redirect of a directory.
  Ok(Wget() + "-q -O '" + Out("w3") + "' " + Url("/dir"));
  EXPECT_EQ(ReadFile(Out("w3")), "<p>dir</p>");
}

TEST_P(MirtClients, PythonHttpClientAndUrllib) {
  const char script[] = R"PY(
import http.client, urllib.error, urllib.parse
base, out = sys.argv[1], sys.argv[2]
at = urllib.parse.urlsplit(base)
def connection():
    if at.scheme == "https":
        return http.client.HTTPSConnection(at.hostname, at.port, timeout=20, context=ctx)
    return http.client.HTTPConnection(at.hostname, at.port, timeout=20)
c = connection()
c.request("GET", "/big.bin")
r = c.getresponse()
open(out + "/p1", "wb").write(r.read())
print(r.status, r.reason, r.getheader("Content-length"), r.getheader("Content-type"))
c = connection()
c.request("GET", "/big.bin", headers={"Range": "bytes=1000-1999"})
r = c.getresponse()
open(out + "/p2", "wb").write(r.read())
print(r.status, r.getheader("Content-Range"))
c = connection()
c.request("HEAD", "/big.bin")
r = c.getresponse()
print(r.status, r.getheader("Content-length"), len(r.read()))
print(urllib.request.urlopen(base + "/dir", timeout=20).read().decode())
open(out + "/p3", "wb").write(urllib.request.urlopen(base + "/big.bin", timeout=20).read())
try:
    urllib.request.urlopen(base + "/private/", timeout=20)
except urllib.error.HTTPError as e:
    print(e.code, e.headers["WWW-Authenticate"])
auth = urllib.request.HTTPBasicAuthHandler()
auth.add_password(realm="1 MB of RAM and no soul.", uri=base + "/", user="demo", passwd="demo")
print(urllib.request.build_opener(auth, urllib.request.HTTPSHandler(context=ctx)).open(base + "/private/", timeout=20).read().decode())
)PY";
  WriteFile(home / "client.py", Python() + script);
  std::string out;
  Ok("python3 '" + home / "client.py" + "' " + Url("") + " '" + home.path() + "'", &out);
  EXPECT_EQ(out,
            "200 Ok 300000 application/octet-stream\n"
            "206 bytes 1000-1999/300000\n"
            "200 300000 0\n"
            "<p>dir</p>\n"
            "401 Basic realm=\"1 MB of RAM and no soul.\"\n"
            "<p>members</p>\n");
  EXPECT_TRUE(ReadFile(Out("p1")) == data);
  EXPECT_TRUE(ReadFile(Out("p2")) == data.substr(1000, 1000));
  EXPECT_TRUE(ReadFile(Out("p3")) == data);
}

// A file far larger than any piece or socket buffer, whole and in ranges
// that start and end inside records, over TLS on the path the banner names.
TEST_P(MirtClients, LargeFileAndRangesOverTls) {
  if (!tls) GTEST_SKIP() << "the plain variants send with sendfile alone";
  const char *path = userSpace || !TlsKernelOffered() ? "user space, 16 KiB records\n"
                                                      : "kernel TLS (sendfile)\n";
  EXPECT_NE(server.proc.Stdout().find(std::string("TLS sends: ") + path), std::string::npos);
  Put("large.bin", Bytes(64 * 1024 * 1024 + 5, 11));
  for (std::string range : {"0-", "1000001-40000000"})
    Ok(Curl() + "-sS " + (range == "0-" ? "" : "-r " + range) + " -o '" + Out("got") + "' " +
       Url("/large.bin") + " && tail -c +" + std::to_string(std::stol(range) + 1) + " '" +
       Root() + "/large.bin' | head -c " + (range == "0-" ? "100M" : "39000000") + " | cmp - '" +
       Out("got") + "'");
}

// A cache revalidates: by date (curl -z) and by tag (--etag-compare), and
// a resume of a file already complete is told there is nothing to fetch.
TEST_P(MirtClients, CurlRevalidatesAndResumes) {
  std::string code;
  // A copy at least as new as the file: 304, and the copy is left alone.
  WriteFile(Out("copy"), "old copy");
  Ok("touch -d '2100-01-01' '" + Out("copy") + "'");
  Ok(Curl() + "-sS -z '" + Out("copy") + "' -o '" + Out("copy") + "' -w '%{http_code}' " +
         Url("/big.bin"),
     &code);
  EXPECT_EQ(code, "304");
  EXPECT_EQ(ReadFile(Out("copy")), "old copy");
  // An older copy is replaced.
  Ok("touch -d '2000-01-01' '" + Out("copy") + "'");
  Ok(Curl() + "-sS -z '" + Out("copy") + "' -o '" + Out("copy") + "' -w '%{http_code}' " +
         Url("/big.bin"),
     &code);
  EXPECT_EQ(code, "200");
  EXPECT_TRUE(ReadFile(Out("copy")) == data);
  // The tag saved with one download makes the next one a 304.
  Ok(Curl() + "-sS --etag-save '" + Out("etag") + "' -o /dev/null " + Url("/big.bin"));
  EXPECT_EQ(ReadFile(Out("etag")).substr(0, 1), "\"");
  Ok(Curl() + "-sS --etag-compare '" + Out("etag") + "' -o /dev/null -w '%{http_code}' " +
         Url("/big.bin"),
     &code);
  EXPECT_EQ(code, "304");
  // Resuming a complete file: 416 with the size, which curl takes as done.
  WriteFile(Out("done"), data);
  Ok(Curl() + "-sS -C - -o '" + Out("done") + "' " + Url("/big.bin"));
  EXPECT_TRUE(ReadFile(Out("done")) == data);
  harness::MakeDirs(home / "again");
  WriteFile(home / "again/big.bin", data);
  Ok("cd '" + home / "again" + "' && " + Wget() + "-q -c " + Url("/big.bin"));
  EXPECT_TRUE(ReadFile(home / "again/big.bin") == data);
}

// A redirect names the server's port and keeps the query.
TEST_P(MirtClients, CurlFollowsARedirectWithPortAndQuery) {
  std::string out;
  Ok(Curl() + "-sS -L -w ' %{url_effective} %{http_code}' '" + Url("/dir?from=menu&x=%41") +
         "'",
     &out);
  EXPECT_EQ(out, "<p>dir</p> " + Url("/dir/?from=menu&x=%41") + " 200");
  // A query on a file is no part of its name.
  Ok(Curl() + "-sS -o '" + Out("q") + "' '" + Url("/big.bin?v=3") + "'");
  EXPECT_TRUE(ReadFile(Out("q")) == data);
}

// A crawler walks the whole site: a missing link and the absent
// robots.txt are plain 404s, nothing answers with a server error.
class MirtCrawl : public MirtClients {
 protected:
  void SetUp() override {
    if (six && !harness::Ipv6Loopback()) GTEST_SKIP() << "no ::1 on this machine";
  }
};

TEST_P(MirtCrawl, WgetCrawlsWithoutServerErrors) {
  Put("site/index.htm",
      "<a href=\"a.htm\">a</a> <a href=\"gone.htm\">gone</a> "
      "<a href=\"sub\">sub</a> <a href=\"list/\">list</a>");
  Put("site/a.htm", "<p>a</p><img src=\"pic.png?v=1\">");
  Put("site/pic.png", "png");
  Put("site/sub/index.htm", "<a href=\"../a.htm\">back</a> <a href=\"nope/\">nope</a>");
  Put("site/list/one.txt", "1");
  ASSERT_TRUE(StartVariant("DirectoryListing=1\n"));
  std::string log = Out("wget.log");
  // wget ends with 8 when the server answered an error (the 404s).
  int status = harness::Run("cd '" + home.path() + "' && " + Wget() + "-r -np -nH -nv -o '" +
                                log + "' -P crawl " + Url("/site/"),
                            nullptr, 60);
  EXPECT_EQ(status, 8) << ReadFile(log);
  std::string text = ReadFile(log);
  EXPECT_EQ(text.find("ERROR 5"), std::string::npos) << text;
  EXPECT_NE(text.find("gone.htm"), std::string::npos) << text;
  EXPECT_NE(text.find("ERROR 404"), std::string::npos) << text;
  std::string root = home / "crawl/site/";
  EXPECT_EQ(ReadFile(root + "a.htm"), "<p>a</p><img src=\"pic.png?v=1\">");
  std::string tree;
  harness::Run("cd '" + home.path() + "' && find crawl -type f | sort", &tree);
  // Reached through the redirect of "sub", saved under the name linked.
  EXPECT_EQ(ReadFile(root + "sub"),
            "<a href=\"../a.htm\">back</a> <a href=\"nope/\">nope</a>")
      << tree << text;
  EXPECT_EQ(ReadFile(root + "list/one.txt"), "1");
  // h2load sends 16 requests on each connection before it reads an answer:
  // listings (chunked) and small files, every answer whole and 200.
  std::string load;
  Ok("h2load --h1 -n 320 -c 2 -m 16 " + Url("/site/list/") + " " + Url("/site/a.htm") + " " +
         Url("/site/pic.png") + " " + Url("/site/"),
     &load);
  EXPECT_NE(load.find("320 succeeded, 0 failed, 0 errored"), std::string::npos) << load;
  EXPECT_NE(load.find("status codes: 320 2xx, 0 3xx, 0 4xx, 0 5xx"), std::string::npos) << load;
  ASSERT_EQ(Stop(), 0);
  std::string access = Log();
  EXPECT_NE(access.find(" GET /robots.txt 404 "), std::string::npos) << access;
  EXPECT_NE(access.find(" GET /site/gone.htm 404 "), std::string::npos) << access;
  EXPECT_NE(access.find(" GET /site/sub/nope/ 404 "), std::string::npos) << access;
  EXPECT_NE(access.find(" GET /site/sub/ 301 "), std::string::npos) << access;
  for (const char *server_error : {" 500 ", " 501 "})
    EXPECT_EQ(access.find(server_error), std::string::npos) << access;
}

// urllib as a cache would use it: the validators of one answer make the
// next request conditional.
TEST_P(MirtClients, PythonUrllibRevalidates) {
  const char script[] = R"PY(
import urllib.error
base = sys.argv[1]
r = urllib.request.urlopen(base + "/big.bin", timeout=20)
r.read()
modified, tag = r.headers["Last-Modified"], r.headers["ETag"]
print(r.status, r.headers["Content-type"])
for headers in ({"If-Modified-Since": modified}, {"If-None-Match": tag},
                {"If-Modified-Since": "Sat, 01 Jan 2000 00:00:00 GMT"}):
    try:
        r = urllib.request.urlopen(urllib.request.Request(base + "/big.bin", headers=headers), timeout=20)
        print(r.status, len(r.read()))
    except urllib.error.HTTPError as e:
        print(e.code, len(e.read()), e.headers["ETag"] == tag)
)PY";
  WriteFile(home / "cache.py", Python() + script);
  std::string out;
  Ok("python3 '" + home / "cache.py" + "' " + Url(""), &out);
  EXPECT_EQ(out,
            "200 application/octet-stream\n"
            "304 0 True\n"
            "304 0 True\n"
            "200 300000\n");
}

// Several files in one run go over one connection, encrypted or not.
TEST_P(MirtClients, CurlAndWgetReuseTheirConnection) {
  Put("one.txt", "first file\n");
  Put("two.txt", std::string(70000, 't'));
  std::string out;
  Ok(Curl() + "-sS -v -o '" + Out("c1") + "' -o '" + Out("c2") + "' " + Url("/one.txt") + " " +
         Url("/two.txt"),
     &out);
  EXPECT_NE(out.find("Re-using existing connection"), std::string::npos) << out;
  EXPECT_EQ(ReadFile(Out("c1")), "first file\n");
  EXPECT_EQ(ReadFile(Out("c2")), std::string(70000, 't'));

  harness::MakeDirs(home / "w");
  Ok("cd '" + (home / "w") + "' && " + Wget() + Url("/one.txt") + " " + Url("/two.txt") + " " +
         Url("/one.txt") + " -O all",
     &out);
  EXPECT_NE(out.find("Reusing existing connection"), std::string::npos) << out;
  EXPECT_EQ(ReadFile(home / "w/all"), "first file\n" + std::string(70000, 't') + "first file\n");
}

// Python's requests keeps one connection for a session of several URLs and
// takes a gzip variant for the plain file: a line per answer (status,
// decoded length, coding), then the connections it made.
TEST_P(MirtClients, PythonRequestsKeepsOneConnection) {
  Put("s.js", std::string(9000, ';'));
  Ok("gzip -kn '" + Root() + "/s.js'");
  WriteFile(home / "session.py", R"PY(
import sys, requests, urllib3
urllib3.disable_warnings()
session = requests.Session()
for path in ("/s.js", "/big.bin", "/dir/", "/s.js"):
    r = session.get(sys.argv[1] + path, verify=False, timeout=20, headers={"Accept-Encoding": "gzip"})
    print(r.status_code, len(r.content), r.headers.get("Content-Encoding", "none"))
pools = session.get_adapter(sys.argv[1]).poolmanager.pools
print("connections", sum(pools[key].num_connections for key in pools.keys()))
)PY");
  std::string out;
  Ok("python3 '" + home / "session.py" + "' " + Url(""), &out);
  EXPECT_EQ(out, "200 9000 gzip\n200 300000 none\n200 10 none\n200 9000 gzip\nconnections 1\n");
}

const Variant kVariants[] = {{false, false}, {true, false}, {false, true}, {true, true},
                             {false, true, true}};
INSTANTIATE_TEST_SUITE_P(, MirtClients, ::testing::ValuesIn(kVariants), Name);
INSTANTIATE_TEST_SUITE_P(, MirtCrawl, ::testing::ValuesIn(kVariants, kVariants + 4), Name);

// The demo of examples/http as shipped, crawled the way a visitor's
// browser or a search engine would walk it: every link answers, the
// missing-page link with 404, and nothing with a server error.
TEST(MirtDemo, CrawlOfTheExampleSiteMeetsNoServerError) {
  harness::TempDir home;
  unsigned port = harness::FreePort();
  unsigned tlsPort = harness::FreePort();
  while (tlsPort == port) tlsPort = harness::FreePort();
  const std::string p = std::to_string(port);
  const std::string tls = std::to_string(tlsPort);
  const std::string source = SOURCE_DIR;
  // The certificate make demo links in, made here afresh; no log of a demo
  // run in the checkout.
  ASSERT_EQ(harness::Run("cp -r '" + source + "/examples/http/.' '" + home.path() +
                         "' && rm -f '" + home.path() + "'/demo-*.pem '" + home.path() +
                         "'/logs/*.log && sh '" + source +
                         "/scripts/demo-certificate.sh' '" + home.path() + "'",
                         nullptr, 30),
            0);
  ASSERT_EQ(harness::Run("cd '" + home.path() + "' && sed -i -e 's/^Port=.*/Port=" + p +
                         "/' -e 's/^TLSPort=.*/TLSPort=" + tls +
                         "/' -e 's/^ExternIP=.*/ExternIP=http:\\/\\/127.0.0.1:" + p +
                         "/' mirt.ini"),
            0);
  harness::Server server;
  ASSERT_TRUE(server.Start(harness::Bin("mirt"), {}, home.path(), port));
  ASSERT_TRUE(harness::WaitFor([&] { return harness::PortListening(tlsPort); }, 10));
  std::string url = "http://127.0.0.1:" + p + "/";
  std::string code;
  // The same site over HTTPS, a redirect keeping the client on it.
  std::string got;
  EXPECT_EQ(harness::Run("curl -sS -k --max-time 20 https://127.0.0.1:" + tls + "/hello.txt",
                         &got, 30),
            0);
  EXPECT_EQ(got, harness::ReadFile(home / "site/hello.txt"));
  EXPECT_EQ(harness::Run("curl -sS -k --max-time 20 -o /dev/null -w '%{redirect_url}' "
                         "https://127.0.0.1:" + tls + "/docs",
                         &got, 30),
            0);
  EXPECT_EQ(got, "https://127.0.0.1:" + tls + "/docs/");
  EXPECT_EQ(harness::Run("curl -s -o /dev/null -w '%{http_code}' " + url + "nothing-here/",
                         &code),
            0);
  EXPECT_EQ(code, "404");
  // 6: the password page asked for credentials (it outranks the 8 that
  // the missing page earns).
  EXPECT_EQ(harness::Run("cd '" + home.path() + "' && wget -r -np -q -P crawl " + url,
                         nullptr, 60),
            6);
  EXPECT_TRUE(harness::Exists(home / ("crawl/127.0.0.1:" + p + "/files/notes/todo.txt")));
  EXPECT_EQ(server.proc.Stop(), 0);
  std::string log = harness::ReadFile(home / "logs/log0001.log");
  EXPECT_NE(log.find(" GET /nothing-here/ 404 "), std::string::npos) << log;
  EXPECT_NE(log.find(" GET /robots.txt 404 "), std::string::npos) << log;
  EXPECT_NE(log.find(" GET /docs/notes.txt 200 "), std::string::npos) << log;
  EXPECT_EQ(log.find(" 500 "), std::string::npos) << log;
}

}  // namespace
