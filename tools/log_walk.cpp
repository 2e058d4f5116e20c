#include "log_walk.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "line_reader.h"

static const char MsgNoMoreFiles[] = "No more files to be found.\n";
static const char LogName[] = "log%04d.log";
static const char BadLine[] = "%s:%llu: %s: %s\n";
static const char CannotOpen[] = "%s: cannot be read: %s\n";
static const char ReadFailed[] = "%s:%llu: read failed: %s\n";
static const char ReasonTooLong[] = "line too long";
static const char ReasonIncomplete[] = "incomplete line";

enum { LastLogNumber = 9999 };

static void Reject(const char *name, uint64_t number, const char *reason, const Line &line,
                   FILE *errors) {
  // Control bytes may take four characters each.
  static char shown[MaxLineLength * 4 + 1];
  ShowText(shown, sizeof shown, line.text, line.len);
  fprintf(errors, BadLine, name, (unsigned long long)number, reason, shown);
}

int SummariseFile(FILE *in, const char *name, Summary *s, FILE *errors) {
  FileRecord record;
  snprintf(record.name, sizeof record.name, "%s", name);
  std::unique_ptr<LineReader> reader(new LineReader);
  StartLines(reader.get(), in);
  Line line;
  AccessLine access;
  while (NextLine(reader.get(), &line) == 1) {
    record.lines++;
    const char *reason = nullptr;
    if (line.cut)
      reason = ReasonTooLong;
    // A server still running holds the end of its current file in its
    // buffer: a last line without its line feed may be cut anywhere.
    else if (!line.complete)
      reason = ReasonIncomplete;
    else if (ParseAccessLine(line.text, line.len, &access, &reason) == 0)
      AddRequest(s, access);
    if (reason) {
      record.rejected++;
      Reject(name, record.lines, reason, line, errors);
    }
  }
  int result = 0;
  if (ferror(in)) {
    fprintf(errors, ReadFailed, name, (unsigned long long)record.lines + 1, strerror(errno));
    result = -1;
  }
  s->lines += record.lines;
  s->rejected += record.rejected;
  s->files.push_back(record);
  return result;
}

// 1 when the file was read, 0 when it is missing, -1 when it is present
// but could not be read.
static int ReadLogFile(int number, Summary *s, FILE *errors) {
  char name[16];
  snprintf(name, sizeof name, LogName, number);
  FILE *in = fopen(name, "r");
  if (!in) {
    if (errno == ENOENT) return 0;
    fprintf(errors, CannotOpen, name, strerror(errno));
    return -1;
  }
  int result = SummariseFile(in, name, s, errors);
  fclose(in);
  return result == 0 ? 1 : -1;
}

int WalkLogs(Summary *s, FILE *errors) {
  int result = 0;
  // The server numbers its files from 1; a 0 file may come from elsewhere
  // and is read when it is there.
  if (ReadLogFile(0, s, errors) < 0) result = -1;
  for (int n = 1; n <= LastLogNumber; n++) {
    int r = ReadLogFile(n, s, errors);
    if (r == 0) {
      fputs(MsgNoMoreFiles, stdout);
      break;
    }
    if (r < 0) result = -1;
  }
  return result;
}
