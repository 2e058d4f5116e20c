// Headless chromium against the running mirt: a fresh profile per test,
// a time limit on every run, and no browser process left behind.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "harness.h"
#include "mirt_fixture.h"

namespace mirt_test {

bool ChromiumInstalled();

// The anchors of a serialized document: href attribute and inner text, as
// the browser writes them back.
std::vector<std::pair<std::string, std::string>> Anchors(const std::string &dom);

class MirtBrowser : public MirtTest {
 protected:
  harness::TempDir profile;  // a fresh browser profile for each test
  std::string Url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }
  // Runs chromium with `args` after the common switches; its standard
  // output. Fails the test when chromium does not finish in time or leaves
  // a process behind.
  std::string Chromium(const std::string &args);
  // The document chromium builds from `url`.
  std::string DumpDom(const std::string &url);
};

}  // namespace mirt_test
