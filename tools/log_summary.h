// The figures gathered from the access lines and the summary written from
// them. Memory grows with the number of distinct paths, clients and
// methods, never with the number of lines.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "access_line.h"

struct Tally {
  uint64_t requests = 0;
  uint64_t bytes = 0;
};

struct FileRecord {
  char name[16] = "";
  uint64_t lines = 0;
  uint64_t rejected = 0;
};

// Status classes counted over time: 1xx .. 5xx.
enum { StatusClasses = 5 };

// What happened in one hour.
struct HourRecord {
  Tally tally;
  uint64_t classes[StatusClasses] = {};
};

typedef std::unordered_map<std::string, Tally> TallyMap;

struct Summary {
  std::vector<FileRecord> files;  // at most one per log file number
  uint64_t lines = 0;
  uint64_t rejected = 0;
  Tally total;
  bool anyRequest = false;
  int64_t firstTime = 0, lastTime = 0;
  Tally statuses[1000];
  TallyMap methods, paths, clients, notFound, referers, agents;
  // Keyed by hours since 1970; lines mostly come in time order, so the
  // hour of the previous line is kept at hand.
  std::unordered_map<int64_t, HourRecord> hours;
  int64_t lastHour = INT64_MIN;
  HourRecord *lastRecord = nullptr;
  std::string key;  // reused for lookups so that a known key allocates nothing
};

// Counts one request that parsed.
void AddRequest(Summary *s, const AccessLine &line);
// Writes the summary as plain text; -1 when writing failed.
int WriteSummary(const Summary &s, FILE *out);

typedef std::pair<const std::string, Tally> Entry;
// The `top` busiest entries of a table, busiest first (ties by bytes,
// then by name, so the order does not depend on the hash table).
std::vector<const Entry *> TopEntries(const TallyMap &map, size_t top);

// Copies len bytes into dst (size bytes, NUL-terminated), writing control
// bytes as \xHH so that one entry stays one readable line.
void ShowText(char *dst, size_t size, const char *src, size_t len);
