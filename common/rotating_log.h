// The ring of numbered log files (log0001.log ...) or the console.
#pragma once
#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "ini.h"

// The ring's position when several worker processes write one log (see
// ShareLog).
struct SharedLogState;

// Lines are handed to the file in batches of whole lines: a buffer holds
// the longest line (an access line of escaped fields stays below 10 KiB)
// several times over, and is written out before a line could overflow it.
// With O_APPEND every such write lands whole, so lines of several worker
// processes never mix.
constexpr size_t kLogBufferSize = 64 * 1024;
constexpr size_t kLongestLogLine = 16 * 1024;

struct Log {
  char dir[PATH_MAX] = ".";  // LogDir, or "CONSOLE"
  uint32_t number = 1;      // current file, 1..9999
  int32_t entries = 0;      // lines counted since the file was opened
  uint32_t maxEntries = 0;  // 0: never rotate by count
  uint32_t rotation = 0;    // 0 off, 1 one file, N a ring of N files
  int64_t opened = 0;       // time the current file was opened
  int64_t maxAge = INT64_MAX;  // seconds; INT64_MAX: never rotate by age
  FILE *stream = nullptr;
  // Lines handed over since the last flush that succeeded; those lost to
  // failed writes and not yet said; when that was last said.
  uint32_t unflushed = 0;
  uint64_t lost = 0;
  int64_t lostSaid = 0;
  char *buffer = nullptr;   // the stream's (kLogBufferSize), for a file
  SharedLogState *shared = nullptr;  // null: one process writes the log
};

// Several worker processes: before they are forked, the ring's number, the
// count of lines and the file's age go to memory they all share. The one
// whose line makes the file due starts the next one; the others follow on
// their next line, appending. A reload then keeps LogDir= and LogRotation=
// until a restart. 0, or -1 when the memory could not be had.
int ShareLog(Log *log);
void UnshareLog(Log *log);

// Called once the configuration is read: the first file of the run is the
// one after the ring's most recently written file (log0001 when there is
// none), so that a restart never truncates the newest log.
void InitLog(Log *log);
// Opens the current file: a ring file is truncated, the single file of
// LogRotation=1 appended to. Writes always go to the file's end
// (O_APPEND), so a copy-and-truncate by a log tool leaves no hole.
int OpenLog(Log *log);
// Closes the current file and opens it again by name, appending: after a
// log tool moved it away, the lines go to a new file of that name.
int ReopenLog(Log *log);
// Pushes the buffered lines to the file. A write that fails (a full disk)
// counts the lines it held as lost and says so on standard error at most
// once a minute; the log stays on.
void FlushLog(Log *log, time_t now);
int CloseLog(Log *log);
// A reload's log settings: the ring's limits apply at once; a new
// directory or rotation closes the log and opens it there.
void ApplyReloadedLog(Log *log, const Log &fresh);
int CheckLog(Log *log, time_t stamp);

// The log keys both servers read, in this order, into their Log: each
// noted when absent. Absent, LogMaxEntries, LogRotation and LogMaxAge are
// 0, 0 and never; LogMaxAge must be above 0 ("LogMaxAge must be greater
// than 0.\n" stops the reading); LogDir may be any path the system takes,
// whatever the size of the other values, and must be a directory when the
// log is on (the message names it).
inline constexpr IniKey kLogMaxEntriesKey = {
    "LogMaxEntries=", IniType::kNumber, kIniNoteAbsent, nullptr, nullptr, nullptr, 0,
    UINT32_MAX};
inline constexpr IniKey kLogRotationKey = {
    "LogRotation=", IniType::kNumber, kIniNoteAbsent, nullptr, nullptr, nullptr, 0,
    UINT32_MAX};
inline constexpr IniKey kLogMaxAgeKey = {
    "LogMaxAge=", IniType::kNumber, kIniNoteAbsent | kIniRefusedStops, nullptr,
    "LogMaxAge must be greater than 0.\n", nullptr, 1};
inline constexpr IniKey kLogDirKey = {"LogDir=", IniType::kText, kIniNoteAbsent,
                                      nullptr, nullptr, nullptr, INT64_MIN, INT64_MAX,
                                      nullptr, PATH_MAX};
int ApplyLogMaxEntries(Log *log, const IniValue &value);
int ApplyLogRotation(Log *log, const IniValue &value);
int ApplyLogMaxAge(Log *log, const IniValue &value);
int ApplyLogDir(Log *log, const IniValue &value);
// A server table lists the log keys with these: the server record's `log`.
template <class Record, int (*apply)(Log *, const IniValue &)>
int ApplyToLog(Record *record, const IniValue &value) {
  return apply(record->log, value);
}

// The log keys alone, for a reader that has a Log and no server record;
// values of up to valueSize-2 characters.
int ReadLogConfig(Ini *ini, Log *log, size_t valueSize);

// Hands one line over: when the log is on, counts the line and rotates when
// due, fills `date` (26 bytes) with the stamp's date text and returns the
// stream the caller writes the whole line to with one formatted write.
// Returns null (and the line is dropped) while the log is off or after a
// failed rotation, which switches it off for good.
FILE *LogBegin(Log *log, time_t stamp, char *date);
