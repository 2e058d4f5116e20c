#include "log_walk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <memory>

#include "line_reader.h"

static const char MsgNoMoreFiles[] = "No more files to be found.\n";
static const char LogName[] = "log%04d.log";
static const char BadLine[] = "%s:%llu: %s: %s\n";
static const char CannotOpen[] = "%s: cannot be read: %s\n";
static const char ReadFailed[] = "%s:%llu: read failed: %s\n";
static const char NamedCannotOpen[] = "%s: cannot be read: %s\n";
static const char Progress[] = "\rFiles read: %zu, lines read: %" PRIu64 "   ";
static const char StdinName[] = "-";
static const char StdinShown[] = "(standard input)";
static const char ReasonTooLong[] = "line too long";
static const char ReasonIncomplete[] = "incomplete line";

// zlib reads through a buffer of its own; a large one keeps the number of
// reads small on plain files as well as compressed ones.
enum { LastLogNumber = 9999, ZlibBuffer = 1 << 17, ProgressEvery = 1 << 16 };

static int64_t NowMsec() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A person at a terminal sees the run move once it takes over a second.
static void ShowProgress(Summary *s) {
  if (!s->progress) return;
  if (s->startedMs == 0) s->startedMs = NowMsec();
  if (NowMsec() - s->startedMs < 1000) return;
  fprintf(stderr, Progress, s->files.size(), s->lines);
  s->progressShown = true;
}

void EndProgress(Summary *s) {
  if (s->progressShown) fputc('\n', stderr);
  s->progressShown = false;
}

static void Reject(const char *name, uint64_t number, const char *reason, const Line &line,
                   FILE *errors) {
  // Control bytes may take four characters each.
  static char shown[MaxLineLength * 4 + 1];
  ShowText(shown, sizeof shown, line.text, line.len);
  fprintf(errors, BadLine, name, (unsigned long long)number, reason, shown);
}

int SummariseFile(gzFile in, const char *name, Summary *s, FILE *errors) {
  FileRecord record;
  record.name = name;
  gzbuffer(in, ZlibBuffer);
  std::unique_ptr<LineReader> reader(new LineReader);
  StartLines(reader.get(), in);
  Line line;
  AccessLine access;
  while (NextLine(reader.get(), &line) == 1) {
    record.lines++;
    if ((record.lines & (ProgressEvery - 1)) == 0) ShowProgress(s);
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
  if (reader->failed) {
    int zerr = 0;
    const char *why = gzerror(in, &zerr);
    fprintf(errors, ReadFailed, name, (unsigned long long)record.lines + 1,
            zerr == Z_ERRNO ? strerror(errno) : why);
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
  char name[24];  // room for any int, though numbers stop at 9999
  snprintf(name, sizeof name, LogName, number);
  gzFile in = gzopen(name, "rb");
  if (!in) {
    if (errno == ENOENT) return 0;
    fprintf(errors, CannotOpen, name, strerror(errno));
    return -1;
  }
  int result = SummariseFile(in, name, s, errors);
  gzclose(in);
  return result == 0 ? 1 : -1;
}

int ReadNamedLog(const char *name, Summary *s, FILE *errors, FILE *talk) {
  bool stdinput = strcmp(name, StdinName) == 0;
  int fd = stdinput ? dup(0) : open(name, O_RDONLY | O_CLOEXEC);
  gzFile in = fd >= 0 ? gzdopen(fd, "rb") : nullptr;
  if (!in) {
    int err = errno;
    if (fd >= 0) close(fd);
    fprintf(errors, NamedCannotOpen, name, strerror(err));
    fprintf(talk, NamedCannotOpen, name, strerror(err));
    return -1;
  }
  int result = SummariseFile(in, stdinput ? StdinShown : name, s, errors);
  gzclose(in);
  return result;
}

int WalkLogs(Summary *s, FILE *errors, FILE *talk) {
  int result = 0;
  // The server numbers its files from 1; a 0 file may come from elsewhere
  // and is read when it is there.
  if (ReadLogFile(0, s, errors) < 0) result = -1;
  for (int n = 1; n <= LastLogNumber; n++) {
    int r = ReadLogFile(n, s, errors);
    if (r == 0) {
      fputs(MsgNoMoreFiles, talk);
      break;
    }
    if (r < 0) result = -1;
  }
  return result;
}
