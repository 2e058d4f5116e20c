// rekkon: summarises the access logs of the HTTP server. Pointed at the
// directory of the numbered log files, or given log files by name (plain
// or gzip-compressed, "-" for standard input), it writes a readable
// summary, the same summary as an HTML page with charts and sortable
// tables, an error log of the lines it could not read, and on request the
// summary as JSON.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "html_report.h"
#include "json_report.h"
#include "log_walk.h"

static const char MsgUsage[] = "Input directory and output file is required.\n";
static const char MsgHelp[] =
    "Usage: rekkon [OPTIONS] [DIRECTORY [SUMMARY ERRORLOG] | FILE...]\n"
    "Summarises the access logs log0001.log, log0002.log ... of mirt in\n"
    "DIRECTORY (default: the current directory), or the log FILEs named\n"
    "(gzip-compressed ones too; - for standard input), in the Mirt or the\n"
    "Combined Log Format. Writes SUMMARY (default summary.txt), an HTML\n"
    "report beside it (SUMMARY with .html for .txt: summary.html) and\n"
    "ERRORLOG (default errors.txt). Relative names are taken inside\n"
    "DIRECTORY, or in the current directory when files are named.\n"
    "  -o DIR         write the reports into DIR\n"
    "  --from DATE    count only requests on or after DATE (YYYY-MM-DD, UTC)\n"
    "  --to DATE      count only requests on or before DATE\n"
    "  --json FILE    also write the summary as JSON to FILE (- for standard\n"
    "                 output)\n"
    "Exit status: 0 after a complete run, 1 when no log file was found,\n"
    "2 on failure.\n";
static const char MsgNoChdir[] = "Could not change current working directory.\n";
static const char MsgNoErrorLog[] = "Could not open error log.\n";
static const char MsgNoSummary[] = "Could not open summary file.\n";
static const char MsgNoHtml[] = "Could not open HTML report.\n";
static const char MsgNoJson[] = "Could not open JSON file.\n";
static const char MsgLooking[] = "Looking for Mirt HTTP server generated log files.\n";
static const char MsgNoLogs[] = "No log files found in %s.\n";
static const char MsgBadDate[] = "%s wants a date as YYYY-MM-DD.\n";
static const char MsgNoOutputDir[] = "Could not use the output directory.\n";
static const char MsgSummaryWrite[] = "Could not write summary file.\n";
static const char MsgHtmlWrite[] = "Could not write HTML report.\n";
static const char MsgErrorLogWrite[] = "Could not write error log.\n";
static const char MsgJsonWrite[] = "Could not write JSON file.\n";

static const char DefaultSummary[] = "summary.txt";
static const char DefaultErrors[] = "errors.txt";

// Scripts, timers and `rekkon && ...` read 0 as success.
enum { ExitComplete = 0, ExitNoLogs = 1, ExitFailed = 2 };

static int Fail(const char *message) {
  fputs(message, stdout);
  return ExitFailed;
}

// The HTML report's name: the summary's with ".html" for a final ".txt",
// or with ".html" added.
static std::string HtmlName(const std::string &summary) {
  std::string name(summary);
  size_t n = name.size();
  if (n > 4 && name.compare(n - 4, 4, ".txt") == 0) name.resize(n - 4);
  return name + ".html";
}

static bool IsDirectory(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Seconds since 1970 at the start of YYYY-MM-DD (UTC); false when the
// text is no such date.
static bool ParseDay(const char *text, int64_t *seconds) {
  int y, m, d;
  char end;
  if (sscanf(text, "%4d-%2d-%2d%c", &y, &m, &d, &end) != 3 || strlen(text) != 10 || m < 1 ||
      m > 12 || d < 1 || d > 31)
    return false;
  // Days from the civil date.
  int64_t yy = y - (m <= 2);
  int64_t era = (yy >= 0 ? yy : yy - 399) / 400;
  int64_t yoe = yy - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  *seconds = (era * 146097 + doe - 719468) * 86400;
  return true;
}

struct Options {
  std::string outDir;  // empty: beside the logs, or the current directory
  const char *json = nullptr;
  std::vector<const char *> names;
};

// The name an output gets: inside the output directory when one was named
// and the name is relative.
static std::string OutputPath(const Options &o, const std::string &name) {
  if (o.outDir.empty() || name.empty() || name[0] == '/') return name;
  return o.outDir + "/" + name;
}

int main(int argc, char **argv) {
  std::unique_ptr<Summary> s(new Summary);
  Options o;
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    bool value = i + 1 < argc;
    if ((strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) && argc == 2) {
      fputs(MsgHelp, stdout);
      return ExitComplete;
    } else if (strcmp(a, "-o") == 0 && value) {
      char *full = realpath(argv[++i], nullptr);
      if (!full || !IsDirectory(full)) {
        free(full);
        return Fail(MsgNoOutputDir);
      }
      o.outDir = full;
      free(full);
    } else if ((strcmp(a, "--from") == 0 || strcmp(a, "--to") == 0) && value) {
      int64_t day;
      if (!ParseDay(argv[++i], &day)) {
        printf(MsgBadDate, a);
        return ExitFailed;
      }
      if (a[2] == 'f')
        s->from = day;
      else
        s->to = day + 86399;
    } else if (strcmp(a, "--json") == 0 && value) {
      o.json = argv[++i];
    } else if (a[0] == '-' && a[1] != '\0') {
      return Fail(MsgUsage);
    } else {
      o.names.push_back(a);
    }
  }
  // A directory alone, or with the two output names, is read as the ring
  // of numbered files; anything else names log files.
  size_t n = o.names.size();
  bool walk = n == 0 || ((n == 1 || n == 3) && IsDirectory(o.names[0]));
  if (!walk && n == 3 && IsDirectory(o.names[0])) return Fail(MsgUsage);
  if (!walk)
    for (const char *name : o.names)
      if (IsDirectory(name)) return Fail(MsgUsage);
  const char *dir = walk && n > 0 ? o.names[0] : ".";
  std::string summaryName = OutputPath(o, walk && n == 3 ? o.names[1] : DefaultSummary);
  std::string errorsName = OutputPath(o, walk && n == 3 ? o.names[2] : DefaultErrors);
  std::string htmlName = HtmlName(summaryName);

  // Reading the ring, the outputs are opened from inside the log
  // directory, so relative names land there.
  if (walk && chdir(dir) != 0) return Fail(MsgNoChdir);
  FILE *errors = fopen(errorsName.c_str(), "w");
  if (!errors) return Fail(MsgNoErrorLog);
  FILE *summary = fopen(summaryName.c_str(), "w");
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
  bool jsonOut = o.json && strcmp(o.json, "-") == 0;
  FILE *json = nullptr;
  if (o.json) {
    json = jsonOut ? stdout : fopen(OutputPath(o, o.json).c_str(), "w");
    if (!json) {
      fclose(html);
      fclose(summary);
      fclose(errors);
      return Fail(MsgNoJson);
    }
  }
  // With the JSON on standard output, the messages go to standard error.
  FILE *talk = jsonOut ? stderr : stdout;
  s->progress = isatty(2) && !jsonOut;
  if (walk) fputs(MsgLooking, talk);

  int status = ExitComplete;
  if (walk) {
    if (WalkLogs(s.get(), errors, talk) != 0) status = ExitFailed;
  } else {
    for (const char *name : o.names)
      if (ReadNamedLog(name, s.get(), errors, talk) != 0) status = ExitFailed;
  }
  EndProgress(s.get());
  if (walk && s->files.empty()) {
    fprintf(talk, MsgNoLogs, dir);
    status = ExitNoLogs;
  }
  bool summaryFailed = WriteSummary(*s, summary) != 0;
  if (fclose(summary) != 0) summaryFailed = true;
  bool htmlFailed = WriteHtmlReport(*s, html) != 0;
  if (fclose(html) != 0) htmlFailed = true;
  bool errorsFailed = ferror(errors) != 0;
  if (fclose(errors) != 0) errorsFailed = true;
  bool jsonFailed = false;
  if (json) {
    jsonFailed = WriteJsonReport(*s, json) != 0;
    if (jsonOut ? fflush(json) != 0 : fclose(json) != 0) jsonFailed = true;
  }
  if (summaryFailed) status = Fail(MsgSummaryWrite);
  if (htmlFailed) status = Fail(MsgHtmlWrite);
  if (errorsFailed) status = Fail(MsgErrorLogWrite);
  if (jsonFailed) status = Fail(MsgJsonWrite);
  return status;
}
