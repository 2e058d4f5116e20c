#include "rotating_log.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <new>
#include <sys/mman.h>
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dates.h"
#include "files.h"
#include "ini.h"
#include "string_helpers.h"

namespace {

const char kLogDirNotDirectory[] = "LogDir %s does not exist or is not a directory.\n";

const char kLogPath[] = "%s/log%.4u.log";
const char kRotationLowered[] = "LogRotation is above %u. Using LogRotation=%u.\n";
const char kLinesLost[] = "Writing the log failed (%s): %" PRIu64 " lines lost.\n";
const int64_t kLostSaidEvery = 60;

// The file at path for appending, emptied first when `empty`, with the
// log's own buffer.
FILE *OpenAppending(Log *log, const char *path, bool empty) {
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (empty ? O_TRUNC : 0),
                0644);
  if (fd < 0) return nullptr;
  FILE *f = fdopen(fd, "a");
  if (!f) {
    close(fd);
    return nullptr;
  }
  if (!log->buffer) log->buffer = static_cast<char *>(malloc(kLogBufferSize));
  if (log->buffer) setvbuf(f, log->buffer, _IOFBF, kLogBufferSize);
  return f;
}
// Numbers above this wrap the ring back to 1.
const uint32_t kLastNumber = 9999;

bool Later(const struct timespec &a, const struct timespec &b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// The ring file written last by an earlier run (by modification time), or 0
// when the ring holds none.
uint32_t NewestInRing(const Log *log) {
  uint32_t last = log->rotation > kLastNumber ? kLastNumber : log->rotation;
  uint32_t newest = 0;
  struct timespec newestTime = {0, 0};
  for (uint32_t n = 1; n <= last; n++) {
    char path[sizeof log->dir + 16];
    int len = snprintf(path, sizeof path, kLogPath, log->dir, (unsigned)n);
    if (len < 0 || (size_t)len >= sizeof path) return 0;
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (newest == 0 || !Later(newestTime, st.st_mtim)) {
      newest = n;
      newestTime = st.st_mtim;
    }
  }
  return newest;
}

}  // namespace

struct SharedLogState {
  std::atomic<uint32_t> number;
  std::atomic<int32_t> entries;
  std::atomic<int64_t> opened;
};

int ShareLog(Log *log) {
  void *at = mmap(nullptr, sizeof(SharedLogState), PROT_READ | PROT_WRITE,
                  MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (at == MAP_FAILED) return -1;
  SharedLogState *shared = new (at) SharedLogState;
  shared->number = log->number;
  shared->entries = log->entries;
  shared->opened = log->opened;
  log->shared = shared;
  return 0;
}

void UnshareLog(Log *log) {
  if (!log->shared) return;
  munmap(log->shared, sizeof(SharedLogState));
  log->shared = nullptr;
}

void InitLog(Log *log) {
  log->stream = nullptr;
  log->entries = 0;
  log->number = 1;
  // A restart must not truncate what the last run wrote: the ring goes on
  // with the file after the newest one, which is the oldest of the ring.
  RemoveTrailing(log->dir);
  if (log->rotation < 2 || strcmp(log->dir, "CONSOLE") == 0) return;
  uint32_t newest = NewestInRing(log);
  if (newest == 0) return;
  uint32_t last = log->rotation > kLastNumber ? kLastNumber : log->rotation;
  log->number = newest >= last ? 1 : newest + 1;
}

static int OpenCurrent(Log *log, bool empty) {
  if (log->rotation == 0) return 0;
  log->entries = 0;
  log->opened = (int64_t)time(nullptr);
  if (log->number > 9999) {
    log->rotation = 9999;
    log->number = 1;
  }
  RemoveTrailing(log->dir);
  if (strcmp(log->dir, "CONSOLE") == 0) {
    log->stream = stdout;
    return 0;
  }
  char path[sizeof log->dir + 16];
  int n = snprintf(path, sizeof path, kLogPath, log->dir, (unsigned)log->number);
  if (n < 0 || (size_t)n >= sizeof path) {
    log->rotation = 0;
    return -1;
  }
  // A single file is the newest log at every start: it is continued, never
  // truncated. In a ring the file opened is the oldest one, reused.
  log->stream = OpenAppending(log, path, empty && log->rotation != 1);
  if (!log->stream) {
    log->rotation = 0;
    return -1;
  }
  return 0;
}

int OpenLog(Log *log) { return OpenCurrent(log, true); }

int ReopenLog(Log *log) {
  if (log->rotation == 0 || !log->stream || log->stream == stdout) return 0;
  FlushLog(log, time(nullptr));
  fclose(log->stream);
  log->stream = nullptr;
  // The buffer goes on with the file opened next.
  // The file's age and count go on: it is the same file of the ring.
  int32_t entries = log->entries;
  int64_t opened = log->opened;
  int result = OpenCurrent(log, false);
  log->entries = entries;
  log->opened = opened;
  return result;
}

void FlushLog(Log *log, time_t now) {
  if (!log->stream) return;
  if (fflush(log->stream) != 0 || ferror(log->stream)) {
    int err = errno;
    // The lines that did not go are dropped, not written again and again.
    __fpurge(log->stream);
    clearerr(log->stream);
    log->lost += log->unflushed;
    if (log->lost > 0 && (int64_t)now - log->lostSaid >= kLostSaidEvery) {
      fprintf(stderr, kLinesLost, strerror(err), log->lost);
      log->lost = 0;
      log->lostSaid = (int64_t)now;
    }
  }
  log->unflushed = 0;
}

int CloseLog(Log *log) {
  FILE *s = log->stream;
  // The stream is forgotten whatever fclose says: a failed close must never
  // lead to a second flush or close of the same stream.
  log->stream = nullptr;
  if (s && s != stdout) {
    fflush(s);
    int closed = fclose(s);
    free(log->buffer);
    log->buffer = nullptr;
    if (closed != 0) {
      log->rotation = 0;
      return -1;
    }
  } else if (s == stdout) {
    fflush(stdout);
  }
  return 0;
}

// The number of the ring's file after the current one.
static uint32_t NextNumber(Log *log) {
  uint32_t next = log->number + 1;
  if (next > kLastNumber) {
    log->rotation = kLastNumber;
    next = 1;
  }
  return next > log->rotation ? 1 : next;
}

// CheckLog for a log several workers write: the line that makes the file
// due is counted by one worker only, and that one starts the next file
// (emptied) before it is announced; the others append to it from their
// next line on.
static int CheckSharedLog(Log *log, time_t stamp) {
  SharedLogState *shared = log->shared;
  uint32_t number = shared->number.load(std::memory_order_acquire);
  if (number != log->number) {
    if (CloseLog(log) != 0) return -1;
    log->number = number;
    if (OpenCurrent(log, false) != 0) return -1;
  }
  int32_t entries = shared->entries.fetch_add(1) + 1;
  int64_t opened = shared->opened.load();
  bool byAge = log->maxAge != INT64_MAX && (int64_t)stamp > opened &&
               (int64_t)stamp - opened > log->maxAge;
  bool byCount = entries >= 0 && (uint32_t)entries == log->maxEntries;
  if (!byAge && !byCount) return 0;
  // Moving the opening time elects the one worker that starts the file.
  if (!shared->opened.compare_exchange_strong(opened, (int64_t)stamp)) return 0;
  uint32_t next = NextNumber(log);
  if (CloseLog(log) != 0) return -1;
  log->number = next;
  if (OpenLog(log) != 0) return -1;
  shared->entries.store(0);
  shared->opened.store(log->opened);
  shared->number.store(next, std::memory_order_release);
  return 0;
}

int CheckLog(Log *log, time_t stamp) {
  if (log->rotation < 2) return 0;
  if (log->shared) return CheckSharedLog(log, stamp);
  log->entries++;
  bool byAge = log->maxAge != INT64_MAX &&
               (int64_t)stamp > log->opened &&
               (int64_t)stamp - log->opened > log->maxAge;
  bool byCount = log->entries >= 0 &&
                 (uint32_t)log->entries == log->maxEntries;
  if (!byAge && !byCount) return 0;
  log->number++;
  if (log->number > 9999) {
    log->rotation = 9999;
    log->number = 1;
  }
  if (log->number > log->rotation) log->number = 1;
  if (CloseLog(log) != 0) {
    log->rotation = 0;
    return -1;
  }
  return OpenLog(log);
}

FILE *LogBegin(Log *log, time_t stamp, char *date) {
  if (log->rotation == 0) return nullptr;
  if (CheckLog(log, stamp) != 0) {
    log->rotation = 0;
    if (log->stream) fflush(log->stream);
    CloseLog(log);
    return nullptr;
  }
  if (!log->stream) return nullptr;
  // The line must fit the buffer whole; otherwise the stream would write
  // its first part on its own, and another worker's line could follow it.
  if (log->stream != stdout && __fpending(log->stream) > kLogBufferSize - kLongestLogLine)
    FlushLog(log, stamp);
  log->unflushed++;
  GetDateARPANET(date, stamp);
  return log->stream;
}

int ApplyLogMaxEntries(Log *log, const IniValue &value) {
  log->maxEntries = value.state == IniState::kAbsent ? 0 : (uint32_t)value.number;
  return 0;
}

int ApplyLogRotation(Log *log, const IniValue &value) {
  log->rotation = value.state == IniState::kAbsent ? 0 : (uint32_t)value.number;
  // The files are numbered with four digits.
  if (log->rotation > kLastNumber) {
    fprintf(stderr, kRotationLowered, kLastNumber, kLastNumber);
    log->rotation = kLastNumber;
  }
  return 0;
}

int ApplyLogMaxAge(Log *log, const IniValue &value) {
  int64_t hours = value.number;
  if (value.state != IniState::kGiven)
    log->maxAge = INT64_MAX;
  else
    log->maxAge = hours > INT64_MAX / 3600 ? INT64_MAX - 1 : hours * 3600;
  return 0;
}

int ApplyLogDir(Log *log, const IniValue &value) {
  snprintf(log->dir, sizeof log->dir, "%s", value.text[0] != '\0' ? value.text : ".");
  // A log asked for but impossible to write is a fault to mend before the
  // start, not something to notice later in an empty directory.
  if (log->rotation != 0 && strcmp(log->dir, "CONSOLE") != 0 &&
      StatPath(log->dir) != kDirectory) {
    fprintf(stderr, kLogDirNotDirectory, log->dir);
    return -1;
  }
  return 0;
}

static const IniEntry<Log> kLogKeys[] = {
    {kLogMaxEntriesKey, ApplyLogMaxEntries},
    {kLogRotationKey, ApplyLogRotation},
    {kLogMaxAgeKey, ApplyLogMaxAge},
    {kLogDirKey, ApplyLogDir},
};

int ReadLogConfig(Ini *ini, Log *log, size_t valueSize) {
  return ReadKeys(ini, kLogKeys, log, valueSize);
}

void ApplyReloadedLog(Log *log, const Log &fresh) {
  bool moved = strcmp(log->dir, fresh.dir) != 0 || log->rotation != fresh.rotation;
  log->maxEntries = fresh.maxEntries;
  log->maxAge = fresh.maxAge;
  // Workers sharing the ring cannot each start a new one.
  if (!moved || log->shared) return;
  CloseLog(log);
  memcpy(log->dir, fresh.dir, sizeof log->dir);
  log->rotation = fresh.rotation;
  InitLog(log);
  OpenLog(log);
}
