#include "log_summary.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <string_view>

enum { TopCount = 20, QueriesPerPath = 5 };

static const char Title[] = "Mirt HTTP server log summary\n============================\n\n";
static const char FilesHead[] = "Files read: %zu\n";
static const char FileLine[] = "  %s: %" PRIu64 " lines, %" PRIu64 " rejected\n";
static const char LinesLine[] = "Lines read: %" PRIu64 "\n";
static const char RejectedLine[] = "Lines rejected: %" PRIu64 "%s\n";
static const char RejectedHint[] = " (see the error log)";
static const char FirstLine[] = "First request: %s UTC\n";
static const char LastLine[] = "Last request:  %s UTC\n";
static const char NoRequests[] = "First request: none\nLast request:  none\n";
static const char RequestsLine[] = "Requests: %" PRIu64 "\n";
static const char BytesLine[] = "Bytes sent: %" PRIu64 "\n";
static const char StatusHead[] = "\nRequests by status:\n  status     requests           bytes\n";
static const char StatusRow[] = "  %6d %12" PRIu64 " %15" PRIu64 "\n";
static const char MethodHead[] = "\nRequests by method:\n";
static const char MethodTopHead[] = "\nRequests by method (top %zu of %zu):\n";
static const char MethodColumns[] = "      requests           bytes  method\n";
static const char PathHead[] =
    "\nMost requested paths (top %zu of %zu):\n      requests           bytes  path\n";
static const char ClientHead[] =
    "\nBusiest clients (top %zu of %zu):\n      requests           bytes  address\n";
static const char NotFoundHead[] =
    "\nPaths not found, 404 (top %zu of %zu):\n      requests           bytes  path\n";
static const char RefererHead[] =
    "\nTop referrers (top %zu of %zu):\n      requests           bytes  referrer\n";
static const char AgentHead[] =
    "\nTop user agents (top %zu of %zu):\n      requests           bytes  user agent\n";
static const char OutsideLine[] = "Lines outside the dates: %" PRIu64 "\n";
static const char VisitorsLine[] = "Unique visitors: %zu\n";
static const char QueryHead[] =
    "\nQuery strings of the most requested paths:\n      requests           bytes  path\n";
static const char QueryRow[] = "  %12" PRIu64 " %15" PRIu64 "    ?%s\n";
static const char DeniedHead[] =
    "\nPaths refused, 401 and 403 (top %zu of %zu):\n      requests           bytes  path\n";
static const char VhostHead[] =
    "\nVirtual hosts (top %zu of %zu):\n      requests           bytes  host\n";
static const char BrowserHead[] =
    "\nBrowsers (top %zu of %zu):\n      requests           bytes  browser\n";
static const char SystemHead[] =
    "\nOperating systems (top %zu of %zu):\n      requests           bytes  system\n";
static const char CrawlerHead[] =
    "\nCrawlers and scripts (top %zu of %zu):\n      requests           bytes  agent\n";
static const char TableRow[] = "  %12" PRIu64 " %15" PRIu64 "  %s\n";
static const char NoneShown[] = "(none)";

static void Add(Tally *t, uint64_t bytes) {
  t->requests++;
  t->bytes = bytes > UINT64_MAX - t->bytes ? UINT64_MAX : t->bytes + bytes;
}

static Tally *Find(Summary *s, TallyMap *map, const Span &span) {
  s->key.assign(span.text, span.len);
  auto it = map->find(s->key);
  if (it == map->end()) it = map->emplace(s->key, Tally()).first;
  return &it->second;
}

static HourRecord *Hour(Summary *s, int64_t time) {
  int64_t hour = time >= 0 ? time / 3600 : -((-time + 3599) / 3600);
  if (hour != s->lastHour) {
    s->lastHour = hour;
    s->lastRecord = &s->hours[hour];  // unordered_map keeps element addresses
  }
  return s->lastRecord;
}

static uint64_t Mix(uint64_t h, uint64_t v) {
  h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
  return h;
}

void AddRequest(Summary *s, const AccessLine &line) {
  if (line.time < s->from || line.time > s->to) {
    s->outside++;
    return;
  }
  Add(&s->total, line.bytes);
  Add(&s->statuses[line.status % 1000], line.bytes);
  Add(Find(s, &s->methods, line.method), line.bytes);
  Add(Find(s, &s->paths, line.path), line.bytes);
  Add(Find(s, &s->clients, line.address), line.bytes);
  if (line.status == 404) Add(Find(s, &s->notFound, line.path), line.bytes);
  if (line.vhost.len) Add(Find(s, &s->vhosts, line.vhost), line.bytes);
  if (line.status == 401 || line.status == 403) Add(Find(s, &s->denied, line.path), line.bytes);
  if (line.query.len) {
    s->key.assign(line.path.text, line.path.len);
    s->key += '?';
    s->key.append(line.query.text, line.query.len);
    auto it = s->queries.find(s->key);
    if (it == s->queries.end()) it = s->queries.emplace(s->key, Tally()).first;
    Add(&it->second, line.bytes);
  }
  int64_t day = line.time >= 0 ? line.time / 86400 : -((-line.time + 86399) / 86400);
  std::hash<std::string_view> hash;
  uint64_t visitor = Mix(Mix((uint64_t)day, hash(std::string_view(line.address.text, line.address.len))),
                         hash(std::string_view(line.agent.text, line.agent.len)));
  if (s->visitors.insert(visitor).second) s->dayVisitors[day]++;
  if (line.referer.len) Add(Find(s, &s->referers, line.referer), line.bytes);
  if (line.agent.len) Add(Find(s, &s->agents, line.agent), line.bytes);
  HourRecord *h = Hour(s, line.time);
  Add(&h->tally, line.bytes);
  int cls = line.status / 100 - 1;
  if (cls >= 0 && cls < StatusClasses) h->classes[cls]++;
  // The ring of log files wraps, so file order says nothing about time.
  if (!s->anyRequest || line.time < s->firstTime) s->firstTime = line.time;
  if (!s->anyRequest || line.time > s->lastTime) s->lastTime = line.time;
  s->anyRequest = true;
}

void ShowText(char *dst, size_t size, const char *src, size_t len) {
  if (size == 0) return;
  size_t o = 0;
  for (size_t i = 0; i < len; i++) {
    unsigned char c = (unsigned char)src[i];
    if (c < 0x20 || c == 0x7f) {
      if (o + 4 >= size) break;
      snprintf(dst + o, 5, "\\x%02x", c);
      o += 4;
    } else {
      if (o + 1 >= size) break;
      dst[o++] = (char)c;
    }
  }
  dst[o] = '\0';
}

// Most requests first; equal counts by bytes, then by name, so that the
// order does not depend on the hash table.
static bool Busier(const Entry *a, const Entry *b) {
  if (a->second.requests != b->second.requests) return a->second.requests > b->second.requests;
  if (a->second.bytes != b->second.bytes) return a->second.bytes > b->second.bytes;
  return a->first < b->first;
}

std::vector<const Entry *> TopEntries(const TallyMap &map, size_t top) {
  std::vector<const Entry *> order;
  order.reserve(map.size());
  for (const Entry &e : map) order.push_back(&e);
  size_t shown = std::min(top, order.size());
  std::partial_sort(order.begin(), order.begin() + (long)shown, order.end(), Busier);
  order.resize(shown);
  return order;
}

// The first of the words found in the agent, each with the name it counts
// under; the order matters (Chrome's agent also names Safari, Edge's names
// Chrome).
struct Mark {
  const char *word, *name;
};
static const Mark CrawlerMarks[] = {
    {"Googlebot", "Googlebot"}, {"bingbot", "Bingbot"}, {"YandexBot", "YandexBot"},
    {"Baiduspider", "Baiduspider"}, {"DuckDuckBot", "DuckDuckBot"}, {"Applebot", "Applebot"},
    {"AhrefsBot", "AhrefsBot"}, {"SemrushBot", "SemrushBot"}, {"facebookexternalhit", "Facebook"},
    {"curl/", "curl"}, {"Wget/", "Wget"}, {"python-requests", "Python requests"},
    {"Python-urllib", "Python urllib"}, {"Go-http-client", "Go http client"},
    {"libwww-perl", "libwww-perl"}, {"bot", "other bots"}, {"Bot", "other bots"},
    {"crawl", "other bots"}, {"Crawl", "other bots"}, {"spider", "other bots"},
    {"Spider", "other bots"}};
static const Mark BrowserMarks[] = {
    {"Edg/", "Edge"}, {"OPR/", "Opera"}, {"Opera", "Opera"}, {"SamsungBrowser", "Samsung Internet"},
    {"Firefox/", "Firefox"}, {"Chromium/", "Chromium"}, {"Chrome/", "Chrome"},
    {"CriOS/", "Chrome"}, {"Safari/", "Safari"}, {"MSIE ", "Internet Explorer"},
    {"Trident/", "Internet Explorer"}, {"Lynx/", "Lynx"}};
static const Mark SystemMarks[] = {
    {"Windows", "Windows"}, {"Android", "Android"}, {"iPhone", "iOS"}, {"iPad", "iOS"},
    {"CrOS", "ChromeOS"}, {"Mac OS X", "macOS"}, {"Macintosh", "macOS"}, {"FreeBSD", "FreeBSD"},
    {"OpenBSD", "OpenBSD"}, {"Linux", "Linux"}, {"X11", "Unix"}};
static const char OtherKind[] = "other";

static const char *Classify(const std::string &agent, const Mark *marks, size_t count) {
  for (size_t i = 0; i < count; i++)
    if (agent.find(marks[i].word) != std::string::npos) return marks[i].name;
  return nullptr;
}

static void AddTally(TallyMap *map, const char *name, const Tally &t) {
  Tally &into = (*map)[name];
  into.requests += t.requests;
  into.bytes += t.bytes;
}

void ClassifyAgents(const Summary &s, AgentKinds *kinds) {
  const size_t crawlers = sizeof CrawlerMarks / sizeof CrawlerMarks[0];
  const size_t browsers = sizeof BrowserMarks / sizeof BrowserMarks[0];
  const size_t systems = sizeof SystemMarks / sizeof SystemMarks[0];
  for (const Entry &e : s.agents) {
    if (const char *crawler = Classify(e.first, CrawlerMarks, crawlers)) {
      AddTally(&kinds->crawlers, crawler, e.second);
      continue;
    }
    const char *browser = Classify(e.first, BrowserMarks, browsers);
    const char *system = Classify(e.first, SystemMarks, systems);
    AddTally(&kinds->browsers, browser ? browser : OtherKind, e.second);
    AddTally(&kinds->systems, system ? system : OtherKind, e.second);
  }
}

static void WriteTable(const TallyMap &map, size_t top, FILE *out) {
  char text[1200];
  for (const Entry *e : TopEntries(map, top)) {
    ShowText(text, sizeof text, e->first.data(), e->first.size());
    fprintf(out, TableRow, e->second.requests, e->second.bytes,
            e->first.empty() ? NoneShown : text);
  }
}

std::vector<QueryGroup> GroupQueries(const Summary &s, size_t paths, size_t perPath) {
  std::vector<QueryGroup> groups;
  std::unordered_map<std::string, size_t> at;
  for (const Entry *e : TopEntries(s.paths, paths)) {
    at[e->first] = groups.size();
    groups.push_back(QueryGroup{e, {}});
  }
  // One walk over the query table sorts each entry under its path.
  for (const Entry &e : s.queries) {
    auto it = at.find(e.first.substr(0, e.first.find('?')));
    if (it != at.end()) groups[it->second].queries.push_back(&e);
  }
  for (QueryGroup &g : groups) {
    size_t shown = std::min(perPath, g.queries.size());
    std::partial_sort(g.queries.begin(), g.queries.begin() + (long)shown, g.queries.end(), Busier);
    g.queries.resize(shown);
  }
  return groups;
}

static void WriteQueries(const Summary &s, FILE *out) {
  char text[1200];
  for (const QueryGroup &g : GroupQueries(s, TopCount, QueriesPerPath)) {
    if (g.queries.empty()) continue;
    ShowText(text, sizeof text, g.path->first.data(), g.path->first.size());
    fprintf(out, TableRow, g.path->second.requests, g.path->second.bytes, text);
    for (const Entry *q : g.queries) {
      const std::string &k = q->first;
      size_t mark = k.find('?');
      ShowText(text, sizeof text, k.data() + mark + 1, k.size() - mark - 1);
      fprintf(out, QueryRow, q->second.requests, q->second.bytes, text);
    }
  }
}

int WriteSummary(const Summary &s, FILE *out) {
  fputs(Title, out);
  fprintf(out, FilesHead, s.files.size());
  for (const FileRecord &f : s.files) fprintf(out, FileLine, f.name.c_str(), f.lines, f.rejected);
  fprintf(out, LinesLine, s.lines);
  fprintf(out, RejectedLine, s.rejected, s.rejected ? RejectedHint : "");
  if (s.anyRequest) {
    char date[26];
    FormatLogDate(s.firstTime, date);
    fprintf(out, FirstLine, date);
    FormatLogDate(s.lastTime, date);
    fprintf(out, LastLine, date);
  } else {
    fputs(NoRequests, out);
  }
  fprintf(out, RequestsLine, s.total.requests);
  fprintf(out, BytesLine, s.total.bytes);
  if (s.from != INT64_MIN || s.to != INT64_MAX) fprintf(out, OutsideLine, s.outside);
  if (s.anyRequest) fprintf(out, VisitorsLine, s.visitors.size());

  fputs(StatusHead, out);
  for (int code = 0; code < 1000; code++)
    if (s.statuses[code].requests > 0)
      fprintf(out, StatusRow, code, s.statuses[code].requests, s.statuses[code].bytes);
  // Garbage sent as a request line makes methods of its own.
  if (s.methods.size() > TopCount)
    fprintf(out, MethodTopHead, (size_t)TopCount, s.methods.size());
  else
    fputs(MethodHead, out);
  fputs(MethodColumns, out);
  WriteTable(s.methods, TopCount, out);
  fprintf(out, PathHead, std::min((size_t)TopCount, s.paths.size()), s.paths.size());
  WriteTable(s.paths, TopCount, out);
  fprintf(out, ClientHead, std::min((size_t)TopCount, s.clients.size()), s.clients.size());
  WriteTable(s.clients, TopCount, out);
  if (!s.queries.empty()) {
    fputs(QueryHead, out);
    WriteQueries(s, out);
  }
  AgentKinds kinds;
  ClassifyAgents(s, &kinds);
  // Tables that only some logs fill are left out when empty.
  const struct {
    const char *head;
    const TallyMap *map;
  } optional[] = {{VhostHead, &s.vhosts}, {NotFoundHead, &s.notFound}, {DeniedHead, &s.denied},
                  {RefererHead, &s.referers},  {AgentHead, &s.agents},
                  {BrowserHead, &kinds.browsers}, {SystemHead, &kinds.systems},
                  {CrawlerHead, &kinds.crawlers}};
  for (const auto &o : optional) {
    if (o.map->empty()) continue;
    fprintf(out, o.head, std::min((size_t)TopCount, o.map->size()), o.map->size());
    WriteTable(*o.map, TopCount, out);
  }
  return ferror(out) ? -1 : 0;
}
