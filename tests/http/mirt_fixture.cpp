#include "mirt_fixture.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace mirt_test {

std::string Reply::Header(const std::string &name) const {
  std::string key = "\r\n" + name + ": ";
  size_t at = head.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  size_t end = head.find("\r\n", at);
  return head.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

bool Reply::Has(const std::string &name) const {
  return head.find("\r\n" + name + ": ") != std::string::npos;
}

Reply ParseReply(const std::string &raw) {
  Reply r;
  r.raw = raw;
  size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) {
    r.head = raw;
  } else {
    r.head = raw.substr(0, end);
    r.body = raw.substr(end + 4);
  }
  r.statusLine = r.head.substr(0, r.head.find("\r\n"));
  if (r.statusLine.size() >= 12) r.status = atoi(r.statusLine.c_str() + 9);
  return r;
}

ShortDir::ShortDir() {
  char tmpl[] = "/tmp/mXXXXXX";
  char *p = mkdtemp(tmpl);
  path_ = p ? p : "";
}

ShortDir::~ShortDir() {
  if (path_.rfind("/tmp/m", 0) == 0 && path_.size() == 12)
    harness::Run("chmod -R u+rwx '" + path_ + "'; rm -rf '" + path_ + "'");
}

int OpenFds(int pid) {
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR *d = opendir(dir.c_str());
  if (!d) return -1;
  int n = 0;
  while (struct dirent *e = readdir(d))
    if (e->d_name[0] != '.') n++;
  closedir(d);
  return n;
}

std::string Bytes(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; i++) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = (char)(x & 0xff);
  }
  return s;
}

MirtTest::MirtTest() { harness::MakeDirs(Root()); }

void MirtTest::TearDown() {
  if (server.proc.pid() <= 0) return;
  if (server.proc.Running()) {
    EXPECT_EQ(Stop(), 0) << "mirt did not end cleanly";
  }
  std::string err = server.proc.Stderr();
  EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
  EXPECT_EQ(err.find("runtime error:"), std::string::npos) << err;
}

std::string MirtTest::Ini(const std::string &overrides, bool withRoot) const {
  std::string p = std::to_string(port);
  std::string ini = "; mirt test configuration\n" + overrides;
  if (!ini.empty() && ini.back() != '\n') ini += "\n";
  ini +=
      "Port=" + p + "\n"
      "Address=127.0.0.1\n"
      "ExternIP=http://127.0.0.1:" + p + "\n"
      "Timeout=30\n"
      "MaxConnections=20\n"
      // Tests open several connections at once from 127.0.0.1; the share
      // of one address is tested on its own.
      "MaxPerAddress=20\n"
      "ExtendedMessages=1\n"
      "DirectoryListing=0\n"
      "ShowProtectedFiles=0\n"
      "AddType=.htm;text/html\n"
      "AddType=.txt;text/plain\n"
      "AddType=.gif;image/gif\n"
      "AddIndex=index.htm\n";
  if (withRoot) ini += "AddVirtual=/;" + Root() + "\n";
  ini +=
      "LogRotation=1\n"
      "LogMaxEntries=0\n"
      "LogMaxAge=24\n"
      "LogDir=.\n";
  return ini;
}

std::string MirtTest::TlsKeys(unsigned tlsPort) const {
  std::string out;
  int rc = harness::Run("sh '" + std::string(SOURCE_DIR) + "/scripts/demo-certificate.sh' '" +
                            home.path() + "'",
                        &out, 30);
  EXPECT_EQ(rc, 0) << out;
  return "TLSPort=" + std::to_string(tlsPort) + "\nTLSCertificate=" + (home / "demo-cert.pem") +
         "\nTLSKey=" + (home / "demo-key.pem") + "\n";
}

bool MirtTest::Start(const std::string &overrides, bool withRoot) {
  harness::WriteFile(home / "mirt.ini", Ini(overrides, withRoot));
  // The port listens before the loop, its worker and the log are made:
  // the banner after them says the descriptors of a started server are
  // all there (tests count them).
  return server.Start(harness::Bin("mirt"), {}, home.path(), port) &&
         harness::WaitFor([&] {
           return server.proc.Stdout().find("Waiting for connections...") != std::string::npos;
         });
}

int MirtTest::Stop() { return server.proc.Stop(); }

std::string MirtTest::Raw(const std::string &bytes) {
  harness::Conn c;
  if (!c.Connect(port)) {
    ADD_FAILURE() << "cannot connect to mirt";
    return "";
  }
  c.Send(bytes);
  return c.ReadAll(10);
}

Reply MirtTest::Get(const std::string &path, const std::string &headers,
                    const std::string &method) {
  return Request(method + " " + path + " HTTP/1.0\r\n" + headers + "\r\n");
}

std::string MirtTest::Log(int number) const {
  char name[32];
  snprintf(name, sizeof name, "log%.4d.log", number);
  return harness::ReadFile(home / name);
}

void MirtTest::Put(const std::string &rel, const std::string &content) const {
  std::string path = Root() + "/" + rel;
  harness::MakeDirs(path.substr(0, path.rfind('/')));
  harness::WriteFile(path, content);
}

}  // namespace mirt_test
