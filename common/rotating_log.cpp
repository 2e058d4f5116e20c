#include "rotating_log.h"

#include <cstring>
#include <sys/stat.h>

#include "dates.h"
#include "files.h"
#include "ini.h"
#include "string_helpers.h"

namespace {

const char kLogDirNotDirectory[] = "LogDir %s does not exist or is not a directory.\n";

const char kLogPath[] = "%s/log%.4u.log";
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

int OpenLog(Log *log) {
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
  log->stream = fopen(path, log->rotation == 1 ? "a" : "w");
  if (!log->stream) {
    log->rotation = 0;
    return -1;
  }
  return 0;
}

int CloseLog(Log *log) {
  FILE *s = log->stream;
  // The stream is forgotten whatever fclose says: a failed close must never
  // lead to a second flush or close of the same stream.
  log->stream = nullptr;
  if (s && s != stdout) {
    if (fclose(s) != 0) {
      log->rotation = 0;
      return -1;
    }
  } else if (s == stdout) {
    fflush(stdout);
  }
  return 0;
}

int CheckLog(Log *log, time_t stamp) {
  if (log->rotation < 2) return 0;
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
  GetDateARPANET(date, stamp);
  return log->stream;
}

int ApplyLogMaxEntries(Log *log, const IniValue &value) {
  log->maxEntries = value.state == IniState::kAbsent ? 0 : (uint32_t)value.number;
  return 0;
}

int ApplyLogRotation(Log *log, const IniValue &value) {
  int64_t r = value.state == IniState::kAbsent ? 0 : value.number;
  log->rotation = r < 0 ? (uint32_t)r : (r > UINT32_MAX ? UINT32_MAX : (uint32_t)r);
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
