// rekkon's reports as a user meets them: called with a directory only, on a
// log that mixes the server's own lines with Combined Log Format lines, and
// the HTML report opened in a real browser.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"

namespace {

bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

// Processes whose command line mentions `marker` (the browser's profile).
std::vector<int> ProcessesWith(const std::string &marker) {
  std::vector<int> pids;
  DIR *proc = opendir("/proc");
  if (!proc) return pids;
  while (struct dirent *e = readdir(proc)) {
    int pid = atoi(e->d_name);
    if (pid <= 0) continue;
    std::string cmdline = harness::ReadFile("/proc/" + std::string(e->d_name) + "/cmdline");
    for (char &ch : cmdline)
      if (ch == '\0') ch = ' ';
    if (cmdline.find(marker) != std::string::npos) pids.push_back(pid);
  }
  closedir(proc);
  return pids;
}

// Fails the test when the browser left a process behind, and ends it.
void ExpectBrowserGone(const std::string &profile) {
  if (harness::WaitFor([&] { return ProcessesWith(profile).empty(); }, 10)) return;
  for (int pid : ProcessesWith(profile)) kill(pid, SIGKILL);
  ADD_FAILURE() << "chromium left processes behind";
}

size_t Count(const std::string &text, const std::string &part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
  return n;
}

// Two days of traffic in both shapes: own lines on the first day, combined
// lines (with referrers, agents, a hostile path and a time zone) on the
// second.
std::string MixedLog() {
  std::string log;
  for (int h = 0; h < 24; h += 3)
    log += "10.0.0." + std::to_string(h) + " [Mon, 01 Jan 2024 " + (h < 10 ? "0" : "") +
           std::to_string(h) + ":15:00] GET /index.htm 200 1000\n";
  log += "10.0.0.1 [Mon, 01 Jan 2024 12:00:00] GET /gone.htm 404 300\n";
  // 02:30 at +0200 is 00:30 UTC on the second day.
  log += "10.0.0.9 - - [02/Jan/2024:02:30:00 +0200] \"GET /<script>alert(1)</script>?q=1 "
         "HTTP/1.1\" 404 250 \"http://ref.example/page\" \"Agent/1.0 \\\"x\\\"\"\n";
  log += "10.0.0.9 - bob [02/Jan/2024:05:00:00 +0000] \"GET /index.htm HTTP/1.1\" 200 1000 "
         "\"http://ref.example/page\" \"Agent/1.0 \\\"x\\\"\"\n";
  log += "10.0.0.8 - - [02/Jan/2024:06:00:00 +0000] \"-\" 500 - \"-\" \"-\"\n";
  return log;
}

TEST(ToolsRekkonReport, DirectoryOnlyHelpAndBothLogFormats) {
  std::string out;
  EXPECT_EQ(harness::Run(harness::Bin("rekkon") + " --help", &out), 0);
  EXPECT_EQ(out.find("Usage: rekkon [OPTIONS] [DIRECTORY [SUMMARY ERRORLOG] | FILE...]\n"), 0u)
      << out;

  harness::TempDir dir;
  harness::WriteFile(dir / "log0001.log", MixedLog());
  // With no arguments the current directory is read and the three default
  // names are written into it.
  int status = harness::Run("cd '" + dir.path() + "' && " + harness::Bin("rekkon"), &out);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(harness::ReadFile(dir / "errors.txt"), "");
  std::string s = harness::ReadFile(dir / "summary.txt");
  EXPECT_TRUE(Has(s, "Lines read: 12\nLines rejected: 0\n")) << s;
  EXPECT_TRUE(Has(s, "First request: Mon, 01 Jan 2024 00:15:00 UTC\n"
                     "Last request:  Tue, 02 Jan 2024 06:00:00 UTC\n")) << s;
  EXPECT_TRUE(Has(s, "             9            9000  /index.htm\n")) << s;
  EXPECT_TRUE(Has(s, "Paths not found, 404 (top 2 of 2):\n      requests           bytes  path\n"
                     "             1             300  /gone.htm\n"
                     "             1             250  /<script>alert(1)</script>\n")) << s;
  EXPECT_TRUE(Has(s, "Top referrers (top 1 of 1):\n      requests           bytes  referrer\n"
                     "             2            1250  http://ref.example/page\n")) << s;
  EXPECT_TRUE(Has(s, "             2            1250  Agent/1.0 \\\"x\\\"\n")) << s;
  EXPECT_TRUE(Has(s, "     500            1               0\n")) << s;

  std::string html = harness::ReadFile(dir / "summary.html");
  // Self-contained: nothing is fetched from anywhere; the one script is
  // the page's own.
  EXPECT_FALSE(Has(html, "src=") || Has(html, "href=") || Has(html, "@import")) << html;
  EXPECT_EQ(Count(html, "<script"), 1u) << html;
  EXPECT_TRUE(Has(html, "/&lt;script&gt;alert(1)&lt;/script&gt;")) << html;

  // The three-argument form names the HTML report after the summary.
  status = harness::Run(harness::Bin("rekkon") + " '" + dir.path() + "' week.txt e.txt", &out);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(harness::ReadFile(dir / "week.html"), html);
}

TEST(ToolsRekkonReport, HtmlReportShowsItsChartsInChromium) {
  if (harness::Run("command -v chromium", nullptr, 10) != 0)
    GTEST_SKIP() << "chromium not installed: apt-get install chromium";
  harness::TempDir dir, profile;
  harness::WriteFile(dir / "log0001.log", MixedLog());
  std::string out;
  ASSERT_EQ(harness::Run(harness::Bin("rekkon") + " '" + dir.path() + "'", &out), 0) << out;

  const std::string browser =
      "chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
      "--disable-background-networking --disable-component-update --disable-sync "
      "--user-data-dir='" + profile.path() + "' ";
  const std::string url = "'file://" + dir.path() + "/summary.html'";
  std::string dom;
  int status = harness::Run(browser + "--dump-dom " + url + " 2>/dev/null", &dom, 60, false);
  ExpectBrowserGone(profile.path());
  ASSERT_EQ(status, 0) << "chromium ended with " << status << " (124: time limit)";
  for (const char *id : {"requests-per-hour", "bytes-per-hour", "requests-per-day",
                         "bytes-per-day", "status-classes"})
    EXPECT_TRUE(Has(dom, std::string("<svg class=\"chart\" id=\"") + id + "\"")) << id;
  // One bar per hour with requests (11), per hour with bytes (10: the 500
  // sent none), per day twice, and per hour one piece for each status class
  // present in it (12: hour 12 of the first day has a 2xx and a 4xx piece).
  EXPECT_EQ(Count(dom, "<rect "), 11u + 10 + 2 * 2 + 12) << dom;
  for (const char *id : {"paths", "clients", "not-found", "referers", "agents"})
    EXPECT_TRUE(Has(dom, std::string("<table class=\"top\" id=\"") + id + "\"")) << id;
  // The hostile path stayed text in the document the browser built.
  EXPECT_EQ(Count(dom, "<script"), 1u) << dom;
  size_t paths = dom.find("id=\"paths\"");
  EXPECT_LT(dom.find(">/index.htm<", paths), dom.find(">/gone.htm<", paths));
  EXPECT_TRUE(Has(dom, "/&lt;script&gt;alert(1)&lt;/script&gt;")) << dom;

  // Sorted by requests, fewest first, as a shared address asks: the
  // busiest path moves from the top to the bottom.
  status = harness::Run(browser + "--dump-dom " + url.substr(0, url.size() - 1) +
                            "#sort=paths:0:asc' 2>/dev/null",
                        &dom, 60, false);
  ExpectBrowserGone(profile.path());
  ASSERT_EQ(status, 0);
  size_t table = dom.find("id=\"paths\"");
  ASSERT_NE(table, std::string::npos) << dom;
  size_t busiest = dom.find(">/index.htm<", table), other = dom.find(">/gone.htm<", table);
  EXPECT_TRUE(busiest != std::string::npos && other < busiest) << dom.substr(table, 2000);

  std::string shot = dir / "report.png";
  status = harness::Run(browser + "--screenshot='" + shot + "' --window-size=1024,1600 " + url +
                            " >/dev/null 2>&1",
                        nullptr, 60, false);
  ExpectBrowserGone(profile.path());
  ASSERT_EQ(status, 0);
  std::string png = harness::ReadFile(shot);
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  // IHDR: width and height, big-endian, right after the signature.
  auto word = [&](size_t at) {
    return ((unsigned)(unsigned char)png[at] << 24) | ((unsigned)(unsigned char)png[at + 1] << 16) |
           ((unsigned)(unsigned char)png[at + 2] << 8) | (unsigned)(unsigned char)png[at + 3];
  };
  EXPECT_EQ(word(16), 1024u);
  EXPECT_EQ(word(20), 1600u);
}

}  // namespace
