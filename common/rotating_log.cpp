#include "rotating_log.h"

#include <cstring>

#include "dates.h"
#include "files.h"
#include "ini.h"
#include "string_helpers.h"

static const char kLogDirNotDirectory[] =
    "LogDir %s does not exist or is not a directory.\n";

void InitLog(Log *log) {
  log->stream = nullptr;
  log->number = 1;
  log->entries = 0;
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
  int n = snprintf(path, sizeof path, "%s/log%.4u.log", log->dir,
                   (unsigned)log->number);
  if (n < 0 || (size_t)n >= sizeof path) {
    log->rotation = 0;
    return -1;
  }
  log->stream = fopen(path, "w");
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

int ReadLogConfig(Ini *ini, Log *log, size_t valueSize) {
  char value[256];
  if (valueSize > sizeof value) valueSize = sizeof value;
  // Defaults for a log switched on without the other keys: the current
  // directory, never by count, never by age.
  log->maxEntries = 0;
  log->maxAge = INT64_MAX;
  snprintf(log->dir, sizeof log->dir, ".");
  if (ReadIni(ini, value, valueSize, "LogMaxEntries=") == 0)
    log->maxEntries = (uint32_t)ParseLong(value);
  log->rotation = 0;
  if (ReadIni(ini, value, valueSize, "LogRotation=") == 0) {
    int64_t r = ParseLong(value);
    log->rotation = r < 0 ? (uint32_t)r : (r > UINT32_MAX ? UINT32_MAX : (uint32_t)r);
  }
  if (ReadIni(ini, value, valueSize, "LogMaxAge=") == 0) {
    int64_t hours = ParseLong(value);
    if (hours <= 0) {
      fputs("LogMaxAge must be greater than 0.\n", stderr);
      return -1;
    }
    log->maxAge = hours > INT64_MAX / 3600 ? INT64_MAX - 1 : hours * 3600;
  }
  // The directory may be any path the system takes, whatever the size of
  // the other values.
  static char dir[sizeof log->dir];
  if (ReadIni(ini, dir, sizeof dir, "LogDir=") == 0 && dir[0] != '\0')
    snprintf(log->dir, sizeof log->dir, "%s", dir);
  // A log asked for but impossible to write is a fault to mend before the
  // start, not something to notice later in an empty directory.
  if (log->rotation != 0 && strcmp(log->dir, "CONSOLE") != 0 &&
      StatPath(log->dir) != kDirectory) {
    fprintf(stderr, kLogDirNotDirectory, log->dir);
    return -1;
  }
  return 0;
}
