// The figures gathered from the access lines and the summary written from
// them. Memory grows with the number of distinct paths, clients and
// methods, never with the number of lines.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "access_line.h"

struct Tally {
  uint64_t requests = 0;
  uint64_t bytes = 0;
};

struct FileRecord {
  std::string name;
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

  // Lines dated outside --from/--to (seconds since 1970, both inclusive)
  // are read but not counted.
  int64_t from = INT64_MIN, to = INT64_MAX;
  uint64_t outside = 0;
  TallyMap queries;  // "path?query", grouped under the path in the reports
  TallyMap denied;   // paths answered 401 or 403: guesses and probes
  TallyMap vhosts;   // from lines that name their virtual host
  // A visitor is an address with a user agent on one day; only a hash of
  // the three is kept, which is enough to count them.
  std::unordered_set<uint64_t> visitors;
  std::unordered_map<int64_t, uint64_t> dayVisitors;  // by days since 1970

  // A progress line on a terminal once a run takes more than a second.
  bool progress = false;
  int64_t startedMs = 0;
  bool progressShown = false;
};

// Counts of what the user agents say, taken from the table of distinct
// agents (so the work grows with agents, not with lines).
struct AgentKinds {
  TallyMap browsers, systems, crawlers;
};
void ClassifyAgents(const Summary &s, AgentKinds *kinds);

// Counts one request that parsed (unless its date is outside the range).
void AddRequest(Summary *s, const AccessLine &line);
// Writes the summary as plain text; -1 when writing failed.
int WriteSummary(const Summary &s, FILE *out);

typedef std::pair<const std::string, Tally> Entry;
// The `top` busiest entries of a table, busiest first (ties by bytes,
// then by name, so the order does not depend on the hash table).
std::vector<const Entry *> TopEntries(const TallyMap &map, size_t top);

// The most requested paths, each with its busiest query strings.
struct QueryGroup {
  const Entry *path;
  std::vector<const Entry *> queries;
};
std::vector<QueryGroup> GroupQueries(const Summary &s, size_t paths, size_t perPath);

// Copies len bytes into dst (size bytes, NUL-terminated), writing control
// bytes as \xHH so that one entry stays one readable line.
void ShowText(char *dst, size_t size, const char *src, size_t len);
