// Real clients against mirt: curl (with ranges and resume), wget, and
// Python's http.client and urllib; contents compared byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "mirt_fixture.h"

using harness::ReadFile;
using harness::WriteFile;
using mirt_test::Bytes;
using mirt_test::MirtTest;

namespace {

class MirtClients : public MirtTest {
 protected:
  std::string data = Bytes(300000, 7);
  void SetUp() override {
    Put("big.bin", data);
    Put("index.htm", "<p>home</p>");
    Put("dir/index.htm", "<p>dir</p>");
    Put("private/index.htm", "<p>members</p>");
    ASSERT_TRUE(Start("AddForbidden=private;demo\nAddUser=demo;demo\n"));
  }
  std::string Url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }
  std::string Out(const std::string &name) const { return home / name; }
  // Runs a command; its output when it fails.
  void Ok(const std::string &cmd, std::string *out = nullptr) {
    std::string text;
    int status = harness::Run(cmd, &text, 60);
    EXPECT_EQ(status, 0) << cmd << "\n" << text;
    if (out) *out = text;
  }
};

TEST_F(MirtClients, Curl) {
  Ok("curl -sS -o '" + Out("c1") + "' " + Url("/big.bin"));
  EXPECT_TRUE(ReadFile(Out("c1")) == data);
  Ok("curl -sS -r 0-99 -o '" + Out("c2") + "' " + Url("/big.bin"));
  EXPECT_TRUE(ReadFile(Out("c2")) == data.substr(0, 100));
  Ok("curl -sS -r 299900- -o '" + Out("c3") + "' " + Url("/big.bin"));
  EXPECT_TRUE(ReadFile(Out("c3")) == data.substr(299900));
  // Resume a download cut after 123457 bytes.
  WriteFile(Out("c4"), data.substr(0, 123457));
  Ok("curl -sS -C - -o '" + Out("c4") + "' " + Url("/big.bin"));
  EXPECT_TRUE(ReadFile(Out("c4")) == data);
  std::string code;
  Ok("curl -s -o /dev/null -w '%{http_code}' " + Url("/private/"), &code);
  EXPECT_EQ(code, "401");
  Ok("curl -sS -u demo:demo " + Url("/private/"), &code);
  EXPECT_EQ(code, "<p>members</p>");
  Ok("curl -sS -L " + Url("/dir"), &code);
  EXPECT_EQ(code, "<p>dir</p>");
  std::string head;
  Ok("curl -sS -I " + Url("/big.bin"), &head);
  EXPECT_NE(head.find("Content-length: 300000\r\n"), std::string::npos) << head;
  ASSERT_EQ(Stop(), 0);
  EXPECT_NE(Log().find(" GET /big.bin 200 "), std::string::npos);
}

TEST_F(MirtClients, Wget) {
  Ok("wget -q -O '" + Out("w1") + "' " + Url("/big.bin"));
  EXPECT_TRUE(ReadFile(Out("w1")) == data);
  // wget asks again with the credentials once it sees the challenge.
  Ok("wget -q --user=demo --password=demo -O '" + Out("w2") + "' " + Url("/private/"));
  EXPECT_EQ(ReadFile(Out("w2")), "<p>members</p>");
  harness::MakeDirs(home / "resume");
  WriteFile(home / "resume/big.bin", data.substr(0, 65536));
  Ok("cd '" + home / "resume" + "' && wget -q -c " + Url("/big.bin"));
  EXPECT_TRUE(ReadFile(home / "resume/big.bin") == data);
  // Following the redirect of a directory.
  Ok("wget -q -O '" + Out("w3") + "' " + Url("/dir"));
  EXPECT_EQ(ReadFile(Out("w3")), "<p>dir</p>");
}

TEST_F(MirtClients, PythonHttpClientAndUrllib) {
  const char script[] = R"PY(
import http.client, sys, urllib.request, urllib.error
port, out = int(sys.argv[1]), sys.argv[2]
c = http.client.HTTPConnection("127.0.0.1", port, timeout=20)
c.request("GET", "/big.bin")
r = c.getresponse()
open(out + "/p1", "wb").write(r.read())
print(r.status, r.reason, r.getheader("Content-length"), r.getheader("Content-type"))
c = http.client.HTTPConnection("127.0.0.1", port, timeout=20)
c.request("GET", "/big.bin", headers={"Range": "bytes=1000-1999"})
r = c.getresponse()
open(out + "/p2", "wb").write(r.read())
print(r.status, r.getheader("Content-Range"))
c = http.client.HTTPConnection("127.0.0.1", port, timeout=20)
c.request("HEAD", "/big.bin")
r = c.getresponse()
print(r.status, r.getheader("Content-length"), len(r.read()))
base = "http://127.0.0.1:%d" % port
print(urllib.request.urlopen(base + "/dir", timeout=20).read().decode())
open(out + "/p3", "wb").write(urllib.request.urlopen(base + "/big.bin", timeout=20).read())
try:
    urllib.request.urlopen(base + "/private/", timeout=20)
except urllib.error.HTTPError as e:
    print(e.code, e.headers["WWW-Authenticate"])
auth = urllib.request.HTTPBasicAuthHandler()
auth.add_password(realm="1 MB of RAM and no soul.", uri=base + "/", user="demo", passwd="demo")
print(urllib.request.build_opener(auth).open(base + "/private/", timeout=20).read().decode())
)PY";
  WriteFile(home / "client.py", script);
  std::string out;
  Ok("python3 '" + home / "client.py" + "' " + std::to_string(port) + " '" +
         home.path() + "'",
     &out);
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

}  // namespace
