// The ring of numbered log files (log0001.log ...) or the console.
#pragma once
#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>

struct Ini;

struct Log {
  char dir[PATH_MAX] = ".";  // LogDir, or "CONSOLE"
  uint32_t number = 1;      // current file, 1..9999
  int32_t entries = 0;      // lines counted since the file was opened
  uint32_t maxEntries = 0;  // 0: never rotate by count
  uint32_t rotation = 0;    // 0 off, 1 one file, N a ring of N files
  int64_t opened = 0;       // time the current file was opened
  int64_t maxAge = INT64_MAX;  // seconds; INT64_MAX: never rotate by age
  FILE *stream = nullptr;
};

// Called once the configuration is read: the first file of the run is the
// one after the ring's most recently written file (log0001 when there is
// none), so that a restart never truncates the newest log.
void InitLog(Log *log);
// Opens the current file: a ring file is truncated, the single file of
// LogRotation=1 appended to.
int OpenLog(Log *log);
int CloseLog(Log *log);
int CheckLog(Log *log, time_t stamp);

// Reads LogMaxEntries=, LogRotation=, LogMaxAge=, LogDir= in that order by
// single lookups (value buffers of valueSize bytes; LogDir takes a path up
// to PATH_MAX). -1 after "LogMaxAge must be greater than 0.\n", or when the
// log is on and LogDir is not a directory (the message names it).
int ReadLogConfig(Ini *ini, Log *log, size_t valueSize);

// Hands one line over: when the log is on, counts the line and rotates when
// due, fills `date` (26 bytes) with the stamp's date text and returns the
// stream the caller writes the whole line to with one formatted write.
// Returns null (and the line is dropped) while the log is off or after a
// failed rotation, which switches it off for good.
FILE *LogBegin(Log *log, time_t stamp, char *date);
