// A real browser on a real page: headless chromium loads a page with a
// stylesheet, a module script (importing another) and an image, all named
// with query strings the way sites bust caches. The script writes what it
// saw into the document, so the dumped DOM shows whether the browser took
// each piece; a screenshot of the same page must come out as a PNG.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "browser_fixture.h"
#include "harness.h"
#include "mirt_fixture.h"

using namespace mirt_test;

namespace {

const char kPage[] = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>page</title>
<link rel="stylesheet" href="css/site.css?v=3">
<script type="module" src="js/app.mjs?v=3&amp;utm_source=test"></script>
</head><body>
<p id="styled">styled</p>
<p id="js">no script</p>
<p id="img">no image</p>
<img src="img/dot.png?v=1" onload="document.getElementById('img').textContent = 'image ' + this.naturalWidth + 'x' + this.naturalHeight">
</body></html>
)";
const char kStyle[] = "#styled { color: rgb(1, 2, 3); }\n";
// Browsers run a module script only when it comes with a JavaScript type.
const char kApp[] = R"(import { word } from './lib.js';
window.addEventListener('load', () => {
  const color = getComputedStyle(document.getElementById('styled')).color;
  document.getElementById('js').textContent = word + ' ' + color;
});
)";
const char kLib[] = "export const word = 'm\xc3\xb3" "dulo';\n";
// A red image of 2 x 3 pixels.
const char kPng[] =
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00"
    "\x00\x02\x00\x00\x00\x03\x08\x02\x00\x00\x00\x36\x88\x49\xd6\x00\x00\x00"
    "\x10\x49\x44\x41\x54\x78\x9c\x63\xf8\xcf\xc0\x00\x44\x0c\x28\x14\x00\x44"
    "\xd0\x05\xfb\xa4\xcf\xde\x80\x00\x00\x00\x00\x49\x45\x4e\x44\xae\x42\x60"
    "\x82";

class MirtPageBrowser : public MirtBrowser {
 protected:
  void SetUp() override {
    Put("app/index.htm", kPage);
    Put("app/css/site.css", kStyle);
    Put("app/js/app.mjs", kApp);
    Put("app/js/lib.js", kLib);
    Put("app/img/dot.png", std::string(kPng, sizeof kPng - 1));
  }
};

TEST_F(MirtPageBrowser, StylesheetModuleScriptAndImageTakeEffect) {
  if (!ChromiumInstalled())
    GTEST_SKIP() << "chromium not installed: apt-get install chromium";
  ASSERT_TRUE(Start());
  std::string dom = DumpDom(Url("/app/"));
  EXPECT_NE(dom.find("<p id=\"js\">m\xc3\xb3" "dulo rgb(1, 2, 3)</p>"), std::string::npos)
      << dom;
  EXPECT_NE(dom.find("<p id=\"img\">image 2x3</p>"), std::string::npos) << dom;

  std::string shot = home / "page.png";
  Chromium("--window-size=320,240 --screenshot='" + shot + "' '" + Url("/app/") + "'");
  EXPECT_EQ(harness::ReadFile(shot).substr(0, 8), "\x89PNG\r\n\x1a\n");

  ASSERT_EQ(Stop(), 0);
  // Every piece was served, by its path without the query, and nothing the
  // browser asked for (a favicon, say) met a server error.
  std::string log = Log();
  for (const char *line : {" GET /app/css/site.css 200 ", " GET /app/js/app.mjs 200 ",
                           " GET /app/js/lib.js 200 ", " GET /app/img/dot.png 200 "})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  // (A connection the browser opened ahead and closed unused is logged
  // with an empty request and is no answer.)
  std::istringstream lines(log);
  int answers = 0;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line.substr(line.find(']') + 1));
    std::vector<std::string> words;
    for (std::string word; fields >> word;) words.push_back(word);
    if (words.size() < 4) continue;
    answers++;
    EXPECT_LT(std::stoi(words[2]), 500) << line;
  }
  EXPECT_GE(answers, 8) << log;
}

// Forty scripts and a stylesheet served no-cache: a second load asks again
// and gets 304s. s7.js goes out gzip'd; all ran when the sum is 780.
TEST_F(MirtPageBrowser, RevalidatedScriptsAndAGzipVariant) {
  if (!ChromiumInstalled())
    GTEST_SKIP() << "chromium not installed: apt-get install chromium";
  std::string page = "<link rel=\"stylesheet\" href=\"site.css\"><p id=\"styled\">styled</p>";
  for (int i = 0; i < 40; i++) {
    Put("many/s" + std::to_string(i) + ".js", "ran = (self.ran || 0) + " + std::to_string(i) + ";");
    page += "<script src=\"s" + std::to_string(i) + ".js\"></script>";
  }
  Put("many/site.css", kStyle);
  Put("many/index.htm", page + "<p id=\"ran\"></p><script>document.getElementById('ran')"
                               ".textContent = ran + ' ' + getComputedStyle(styled).color;</script>");
  ASSERT_EQ(harness::Run("gzip -kn '" + Root() + "/many/s7.js'", nullptr, 20), 0);
  ASSERT_TRUE(Start("AddHeader=/many/;Cache-Control: no-cache\n"));
  const std::string ran = "<p id=\"ran\">780 rgb(1, 2, 3)</p>", netlog = home / "net.json";
  EXPECT_NE(Chromium("--log-net-log='" + netlog + "' --dump-dom " + Url("/many/")).find(ran),
            std::string::npos);
  EXPECT_NE(harness::ReadFile(netlog).find("\"Content-Encoding: gzip\""), std::string::npos);
  EXPECT_NE(DumpDom(Url("/many/")).find(ran), std::string::npos);
  ASSERT_EQ(Stop(), 0);
  for (const char *name : {"index.htm", "site.css", "s0.js", "s7.js", "s39.js"})
    EXPECT_NE(Log().find(std::string(" GET /many/") + name + " 304 "), std::string::npos) << name;
}

}  // namespace
