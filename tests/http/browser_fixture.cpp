#include "browser_fixture.h"

#include <dirent.h>
#include <signal.h>

#include <cstdlib>
#include <cstring>

namespace mirt_test {

namespace {

// Seconds one chromium run may take before it is killed with everything it
// started (the time limit signals the whole process group).
const int kBrowserSeconds = 60;

// PIDs of processes whose command line mentions `marker`.
std::vector<int> ProcessesWith(const std::string &marker) {
  std::vector<int> pids;
  DIR *proc = opendir("/proc");
  if (!proc) return pids;
  while (struct dirent *e = readdir(proc)) {
    int pid = atoi(e->d_name);
    if (pid <= 0) continue;
    std::string cmdline = harness::ReadFile("/proc/" + std::string(e->d_name) +
                                            "/cmdline");
    for (char &ch : cmdline)
      if (ch == '\0') ch = ' ';
    if (cmdline.find(marker) != std::string::npos) pids.push_back(pid);
  }
  closedir(proc);
  return pids;
}

}  // namespace

bool ChromiumInstalled() {
  return harness::Run("command -v chromium", nullptr, 10) == 0;
}

std::vector<std::pair<std::string, std::string>> Anchors(const std::string &dom) {
  std::vector<std::pair<std::string, std::string>> anchors;
  for (size_t at = 0; (at = dom.find("<a ", at)) != std::string::npos;) {
    size_t href = dom.find("href=\"", at);
    size_t close = dom.find("\">", at);
    size_t end = dom.find("</a>", at);
    if (href == std::string::npos || close == std::string::npos ||
        end == std::string::npos || href > close || close > end)
      break;
    anchors.emplace_back(dom.substr(href + 6, close - href - 6),
                         dom.substr(close + 2, end - close - 2));
    at = end;
  }
  return anchors;
}

std::string MirtBrowser::Chromium(const std::string &args) {
  std::string out;
  std::string errors = home / "chromium.err";
  int status = harness::Run(
      "chromium --headless --no-sandbox --disable-gpu --disable-quic "
      "--no-first-run --disable-background-networking "
      "--disable-component-update --disable-sync --user-data-dir='" +
          profile.path() + "' " + args + " 2>'" + errors + "'",
      &out, kBrowserSeconds, false);
  EXPECT_EQ(status, 0) << "chromium " << args << " ended with " << status
                       << " (124: time limit)\n"
                       << harness::ReadFile(errors);
  bool gone = harness::WaitFor(
      [&] { return ProcessesWith(profile.path()).empty(); }, 10);
  if (!gone) {
    for (int pid : ProcessesWith(profile.path())) kill(pid, SIGKILL);
    ADD_FAILURE() << "chromium left processes behind";
  }
  return out;
}

std::string MirtBrowser::DumpDom(const std::string &url) {
  return Chromium("--dump-dom '" + url + "'");
}

}  // namespace mirt_test
