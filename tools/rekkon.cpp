// rekkon: summarises the access logs of the HTTP server. Pointed at the
// directory of the numbered log files, it writes a readable summary, the
// same summary as an HTML page with charts beside it, and an error log of
// the lines it could not read.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "html_report.h"
#include "log_walk.h"

static const char MsgUsage[] = "Input directory and output file is required.\n";
static const char MsgHelp[] =
    "Usage: rekkon [DIRECTORY [SUMMARY ERRORLOG]]\n"
    "Summarises the access logs log0001.log, log0002.log ... of mirt in\n"
    "DIRECTORY (default: the current directory), in the Mirt or the Combined\n"
    "Log Format. Writes SUMMARY (default summary.txt), an HTML report beside\n"
    "it (SUMMARY with .html for .txt: summary.html) and ERRORLOG (default\n"
    "errors.txt). Relative names are taken inside DIRECTORY.\n"
    "Exit status: 0 after a complete run, 2 on failure.\n";
static const char MsgNoChdir[] = "Could not change current working directory.\n";
static const char MsgNoErrorLog[] = "Could not open error log.\n";
static const char MsgNoSummary[] = "Could not open summary file.\n";
static const char MsgNoHtml[] = "Could not open HTML report.\n";
static const char MsgLooking[] = "Looking for Mirt HTTP server generated log files.\n";
static const char MsgSummaryWrite[] = "Could not write summary file.\n";
static const char MsgHtmlWrite[] = "Could not write HTML report.\n";
static const char MsgErrorLogWrite[] = "Could not write error log.\n";

static const char DefaultSummary[] = "summary.txt";
static const char DefaultErrors[] = "errors.txt";

// Scripts, timers and `rekkon && ...` read 0 as success.
enum { ExitComplete = 0, ExitFailed = 2 };

static int Fail(const char *message) {
  fputs(message, stdout);
  return ExitFailed;
}

// The HTML report's name: the summary's with ".html" for a final ".txt",
// or with ".html" added.
static std::string HtmlName(const char *summary) {
  std::string name(summary);
  size_t n = name.size();
  if (n > 4 && name.compare(n - 4, 4, ".txt") == 0) name.resize(n - 4);
  return name + ".html";
}

int main(int argc, char **argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(MsgHelp, stdout);
    return ExitComplete;
  }
  if (argc != 1 && argc != 2 && argc != 4) return Fail(MsgUsage);
  const char *dir = argc > 1 ? argv[1] : ".";
  const char *summaryName = argc == 4 ? argv[2] : DefaultSummary;
  const char *errorsName = argc == 4 ? argv[3] : DefaultErrors;
  std::string htmlName = HtmlName(summaryName);

  // The output paths are opened from inside the log directory, so relative
  // names land there.
  if (chdir(dir) != 0) return Fail(MsgNoChdir);
  FILE *errors = fopen(errorsName, "w");
  if (!errors) return Fail(MsgNoErrorLog);
  FILE *summary = fopen(summaryName, "w");
  if (!summary) {
    fclose(errors);
    return Fail(MsgNoSummary);
  }
  FILE *html = fopen(htmlName.c_str(), "w");
  if (!html) {
    fclose(summary);
    fclose(errors);
    return Fail(MsgNoHtml);
  }
  fputs(MsgLooking, stdout);

  std::unique_ptr<Summary> s(new Summary);
  int status = WalkLogs(s.get(), errors) == 0 ? ExitComplete : ExitFailed;
  bool summaryFailed = WriteSummary(*s, summary) != 0;
  if (fclose(summary) != 0) summaryFailed = true;
  bool htmlFailed = WriteHtmlReport(*s, html) != 0;
  if (fclose(html) != 0) htmlFailed = true;
  bool errorsFailed = ferror(errors) != 0;
  if (fclose(errors) != 0) errorsFailed = true;
  if (summaryFailed) status = Fail(MsgSummaryWrite);
  if (htmlFailed) status = Fail(MsgHtmlWrite);
  if (errorsFailed) status = Fail(MsgErrorLogWrite);
  return status;
}
