// rekkon: summarises the access logs of the HTTP server. Pointed at the
// directory of the numbered log files, it writes a readable summary and
// an error log of the lines it could not read.
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "log_walk.h"

static const char MsgUsage[] = "Input directory and output file is required.\n";
static const char MsgNoChdir[] = "Could not change current working directory.\n";
static const char MsgNoErrorLog[] = "Could not open error log.\n";
static const char MsgNoSummary[] = "Could not open summary file.\n";
static const char MsgLooking[] = "Looking for Mirt HTTP server generated log files.\n";
static const char MsgSummaryWrite[] = "Could not write summary file.\n";
static const char MsgErrorLogWrite[] = "Could not write error log.\n";

// A complete run ends with 1; any failure with 2.
enum { ExitComplete = 1, ExitFailed = 2 };

static int Fail(const char *message) {
  fputs(message, stdout);
  return ExitFailed;
}

int main(int argc, char **argv) {
  if (argc != 4) return Fail(MsgUsage);
  // The output paths are opened from inside the log directory, so relative
  // names land there.
  if (chdir(argv[1]) != 0) return Fail(MsgNoChdir);
  FILE *errors = fopen(argv[3], "w");
  if (!errors) return Fail(MsgNoErrorLog);
  FILE *summary = fopen(argv[2], "w");
  if (!summary) {
    fclose(errors);
    return Fail(MsgNoSummary);
  }
  fputs(MsgLooking, stdout);

  std::unique_ptr<Summary> s(new Summary);
  int status = WalkLogs(s.get(), errors) == 0 ? ExitComplete : ExitFailed;
  bool summaryFailed = WriteSummary(*s, summary) != 0;
  if (fclose(summary) != 0) summaryFailed = true;
  bool errorsFailed = ferror(errors) != 0;
  if (fclose(errors) != 0) errorsFailed = true;
  if (summaryFailed) status = Fail(MsgSummaryWrite);
  if (errorsFailed) status = Fail(MsgErrorLogWrite);
  return status;
}
