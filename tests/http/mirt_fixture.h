// Starting the real mirt on a generated mirt.ini in a temporary directory,
// and talking to it over raw sockets.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "harness.h"

namespace mirt_test {

// A response split into its parts.
struct Reply {
  std::string raw;
  std::string head;    // status line and header lines, CR LF each, no blank
  std::string body;
  std::string statusLine;
  int status = 0;
  // Value of the first header line named `name` (exact case), or "" when
  // absent; Has tells the two apart.
  std::string Header(const std::string &name) const;
  bool Has(const std::string &name) const;
};
Reply ParseReply(const std::string &raw);

// A directory with a short path (document roots leave the rest of a
// request's 496-byte name to the path asked for), removed with everything
// in it at the end.
class ShortDir {
 public:
  ShortDir();
  ~ShortDir();
  ShortDir(const ShortDir &) = delete;
  ShortDir &operator=(const ShortDir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Number of descriptors the process holds open.
int OpenFds(int pid);
// Bytes of `n` pseudo-random content (deterministic per seed).
std::string Bytes(size_t n, unsigned seed = 1);

class MirtTest : public ::testing::Test {
 protected:
  harness::TempDir home;  // the start directory: mirt.ini, err/, logs
  ShortDir site;          // site.path()/www is the main document root
  unsigned port = harness::FreePort();
  harness::Server server;

  MirtTest();
  // Stops a server still running and fails the test when it did not end
  // cleanly or a sanitizer spoke up.
  void TearDown() override;
  std::string Root() const { return site / "www"; }
  // The configuration used by Start: `overrides` come right after the
  // first line, so their single settings win over the defaults that
  // follow, and their AddVirtual lines come before the root's.
  std::string Ini(const std::string &overrides = "",
                  bool withRoot = true) const;
  // Writes mirt.ini and starts mirt; fails the test when it does not listen.
  bool Start(const std::string &overrides = "", bool withRoot = true);
  // Keys for a self-signed certificate made in the start directory, served
  // on tlsPort.
  std::string TlsKeys(unsigned tlsPort) const;
  // SIGTERM and wait; returns the exit status.
  int Stop();
  // Sends the bytes on a fresh connection and reads until the server closes.
  std::string Raw(const std::string &bytes);
  Reply Request(const std::string &bytes) { return ParseReply(Raw(bytes)); }
  Reply Get(const std::string &path, const std::string &headers = "",
            const std::string &method = "GET");
  // The access log (log0001.log in the start directory); read after Stop.
  std::string Log(int number = 1) const;
  void Put(const std::string &rel, const std::string &content) const;
};

}  // namespace mirt_test
