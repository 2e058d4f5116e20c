// LogFormat=combined: the access log a real mirt writes, read back by the
// log analyser operators use (GoAccess) and by rekkon.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "mirt_fixture.h"

using mirt_test::MirtTest;

namespace {

class MirtCombinedLog : public MirtTest {};

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

TEST_F(MirtCombinedLog, EveryLineIsOneLineThatGoAccessAndRekkonRead) {
  Put("a.txt", "hello");
  harness::MakeDirs(Root() + "/private");
  Put("private/s.txt", "secret");
  ASSERT_TRUE(Start("LogFormat=combined\nAddForbidden=private;alice\nAddUser=alice;pw\n"
                    "Timeout=1\n"));
  // A plain request with a query, a referrer and an agent that try to end
  // their quoted field and the line.
  Raw("GET /a.txt?x=1 HTTP/1.0\r\nReferer: http://r.example/\"q\\\r\n"
      "User-Agent: Evil\" 200 1 \"x\x01\xc3\xa9\r\n\r\n");
  // A missing file, and a user name with a blank in it (Basic "al ice:pw").
  Raw("GET /nothere.txt HTTP/1.0\r\nAuthorization: Basic YWwgaWNlOnB3\r\n\r\n");
  // The right user; a request line with a control byte; a client that says
  // nothing usable; one that begins a head and goes (one that sends
  // nothing is not logged).
  Raw("HEAD /private/s.txt HTTP/1.0\r\nAuthorization: Basic YWxpY2U6cHc=\r\n\r\n");
  Raw("GET /a\x7f.txt HTTP/1.0\r\n\r\n");
  harness::Conn silent;
  ASSERT_TRUE(silent.Connect(port));
  // Served after the silent one was made, so that one has been accepted.
  Raw("BREW\r\n\r\n");
  // Ended by the head's time limit, so its line is surely written.
  silent.Send("GET /a");
  EXPECT_TRUE(silent.Closed(5));
  // A connection's line is written when it ends; one still open at the
  // stop is ended first, so its line is there too.
  EXPECT_EQ(Stop(), 0);
  std::string log = Log();
  std::vector<std::string> lines = Lines(log);
  ASSERT_EQ(lines.size(), 6u) << log;

  const std::string date = "\\[\\d\\d/[A-Z][a-z]{2}/\\d{4}:\\d\\d:\\d\\d:\\d\\d \\+0000\\]";
  auto matches = [&](const std::string &line, const std::string &rest) {
    return std::regex_match(line, std::regex("127\\.0\\.0\\.1 - " + rest.substr(0, rest.find(' ')) +
                                             " " + date + " " + rest.substr(rest.find(' ') + 1)));
  };
  // Statuses are the resolver's business; the fields around them are
  // checked here. The lines come in the order the connections ended, which is the order
  // they were made here.
  EXPECT_TRUE(matches(lines[0],
                      "- \"GET /a\\.txt\\?x=1 HTTP/1\\.0\" \\d{3} \\d+ "
                      "\"http://r\\.example/\\\\\"q\\\\\\\\\" "
                      "\"Evil\\\\\" 200 1 \\\\\"x\\\\x01\\\\xc3\\\\xa9\""))
      << lines[0];
  EXPECT_TRUE(matches(lines[1], "al\\\\x20ice \"GET /nothere\\.txt HTTP/1\\.0\" \\d{3} \\d+ \"-\" \"-\""))
      << lines[1];
  EXPECT_TRUE(matches(lines[2], "alice \"HEAD /private/s\\.txt HTTP/1\\.0\" 200 \\d+ \"-\" \"-\""))
      << lines[2];
  EXPECT_TRUE(matches(lines[3], "- \"GET /a\\\\x7f\\.txt HTTP/1\\.0\" \\d{3} \\d+ \"-\" \"-\""))
      << lines[3];
  EXPECT_TRUE(matches(lines[4], "- \"BREW\" 400 \\d+ \"-\" \"-\"")) << lines[4];
  EXPECT_TRUE(matches(lines[5], "- \"-\" 408 0 \"-\" \"-\"")) << lines[5];

  if (harness::Run("command -v goaccess", nullptr, 10) == 0) {
    std::string json = home / "report.json";
    std::string out;
    int status = harness::Run("goaccess '" + home / "log0001.log" +
                                  "' --log-format=COMBINED --no-global-config -o '" + json + "'",
                              &out, 60);
    ASSERT_EQ(status, 0) << out;
    std::string report = harness::ReadFile(json);
    // Every line was understood: six requests, none failed.
    EXPECT_TRUE(std::regex_search(report, std::regex("\"total_requests\": 6\\b"))) << report;
    EXPECT_TRUE(std::regex_search(report, std::regex("\"valid_requests\": 6\\b"))) << report;
    EXPECT_TRUE(std::regex_search(report, std::regex("\"failed_requests\": 0\\b"))) << report;
    EXPECT_NE(report.find("/nothere.txt"), std::string::npos);
  } else {
    ADD_FAILURE() << "goaccess not installed: apt-get install goaccess";
  }

  std::string out;
  ASSERT_EQ(harness::Run(harness::Bin("rekkon") + " '" + home.path() + "'", &out), 0) << out;
  EXPECT_EQ(harness::ReadFile(home / "errors.txt"), "");
  std::string summary = harness::ReadFile(home / "summary.txt");
  EXPECT_NE(summary.find("Requests: 6\n"), std::string::npos) << summary;
  EXPECT_NE(summary.find("  http://r.example/\\\"q\\\\\n"), std::string::npos) << summary;
  EXPECT_NE(summary.find("  /a.txt\n"), std::string::npos) << summary;  // without its query
}

TEST_F(MirtCombinedLog, AnyOtherFormatIsAFault) {
  harness::WriteFile(home / "mirt.ini", Ini("LogFormat=apache\n"));
  harness::Process p;
  ASSERT_TRUE(p.Start({harness::Bin("mirt")}, home.path()));
  EXPECT_EQ(p.Wait(10), 1);
  EXPECT_EQ(p.Stderr(),
            "mirt.ini:2: LogFormat value must be either mirt or combined.\nConfiguration is faulty!\n");
}

}  // namespace
