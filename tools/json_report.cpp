#include "json_report.h"

#include <algorithm>
#include <cinttypes>
#include <map>

enum { TopCount = 20 };

// A JSON string: quotes, backslashes and control bytes escaped; bytes that
// are not UTF-8 text would make the document invalid, so they are written
// as \u00XX of their value.
static void String(FILE *out, const char *p, size_t n) {
  fputc('"', out);
  for (size_t i = 0; i < n; i++) {
    unsigned char c = (unsigned char)p[i];
    if (c == '"' || c == '\\')
      fprintf(out, "\\%c", c);
    else if (c < 0x20 || c >= 0x7f)
      fprintf(out, "\\u%04x", c);
    else
      fputc(c, out);
  }
  fputc('"', out);
}

static void Date(FILE *out, int64_t time, bool withTime) {
  int64_t days = time >= 0 ? time / 86400 : -((-time + 86399) / 86400);
  int64_t rest = time - days * 86400;
  // Civil date from days since 1970.
  int64_t z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400, doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153, d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) y++;
  fprintf(out, "\"%04" PRId64 "-%02" PRId64 "-%02" PRId64, y, m, d);
  if (withTime)
    fprintf(out, "T%02" PRId64 ":%02" PRId64 ":%02" PRId64 "Z", rest / 3600, rest % 3600 / 60,
            rest % 60);
  fputc('"', out);
}

static void Table(FILE *out, const char *key, const TallyMap &map) {
  fprintf(out, ",\n  \"%s\": [", key);
  bool first = true;
  for (const Entry *e : TopEntries(map, TopCount)) {
    fputs(first ? "\n    {\"name\": " : ",\n    {\"name\": ", out);
    first = false;
    String(out, e->first.data(), e->first.size());
    fprintf(out, ", \"requests\": %" PRIu64 ", \"bytes\": %" PRIu64 "}", e->second.requests,
            e->second.bytes);
  }
  fprintf(out, "%s]", first ? "" : "\n  ");
}

int WriteJsonReport(const Summary &s, FILE *out) {
  fputs("{\n  \"files\": [", out);
  for (size_t i = 0; i < s.files.size(); i++) {
    fputs(i ? ",\n    {\"name\": " : "\n    {\"name\": ", out);
    String(out, s.files[i].name.data(), s.files[i].name.size());
    fprintf(out, ", \"lines\": %" PRIu64 ", \"rejected\": %" PRIu64 "}", s.files[i].lines,
            s.files[i].rejected);
  }
  fprintf(out, "%s],\n", s.files.empty() ? "" : "\n  ");
  fprintf(out, "  \"lines\": %" PRIu64 ",\n  \"rejected\": %" PRIu64 ",\n", s.lines, s.rejected);
  fprintf(out, "  \"outside_dates\": %" PRIu64 ",\n", s.outside);
  fprintf(out, "  \"requests\": %" PRIu64 ",\n  \"bytes\": %" PRIu64 ",\n", s.total.requests,
          s.total.bytes);
  fprintf(out, "  \"visitors\": %zu,\n  \"first\": ", s.visitors.size());
  if (s.anyRequest) {
    Date(out, s.firstTime, true);
    fputs(",\n  \"last\": ", out);
    Date(out, s.lastTime, true);
  } else {
    fputs("null,\n  \"last\": null", out);
  }
  // Days in order: the hours are gathered into an ordered map of days.
  std::map<int64_t, Tally> days;
  for (const auto &h : s.hours) {
    int64_t day = h.first >= 0 ? h.first / 24 : -((-h.first + 23) / 24);
    days[day].requests += h.second.tally.requests;
    days[day].bytes += h.second.tally.bytes;
  }
  fputs(",\n  \"days\": [", out);
  bool first = true;
  for (const auto &d : days) {
    fputs(first ? "\n    {\"date\": " : ",\n    {\"date\": ", out);
    first = false;
    Date(out, d.first * 86400, false);
    auto v = s.dayVisitors.find(d.first);
    fprintf(out, ", \"requests\": %" PRIu64 ", \"bytes\": %" PRIu64 ", \"visitors\": %" PRIu64 "}",
            d.second.requests, d.second.bytes, v == s.dayVisitors.end() ? 0 : v->second);
  }
  fprintf(out, "%s],\n  \"statuses\": {", first ? "" : "\n  ");
  first = true;
  for (int code = 0; code < 1000; code++) {
    if (s.statuses[code].requests == 0) continue;
    fprintf(out, "%s\n    \"%d\": {\"requests\": %" PRIu64 ", \"bytes\": %" PRIu64 "}",
            first ? "" : ",", code, s.statuses[code].requests, s.statuses[code].bytes);
    first = false;
  }
  fprintf(out, "%s}", first ? "" : "\n  ");
  AgentKinds kinds;
  ClassifyAgents(s, &kinds);
  Table(out, "methods", s.methods);
  Table(out, "paths", s.paths);
  Table(out, "queries", s.queries);
  Table(out, "clients", s.clients);
  Table(out, "virtual_hosts", s.vhosts);
  Table(out, "not_found", s.notFound);
  Table(out, "refused", s.denied);
  Table(out, "referrers", s.referers);
  Table(out, "agents", s.agents);
  Table(out, "browsers", kinds.browsers);
  Table(out, "systems", kinds.systems);
  Table(out, "crawlers", kinds.crawlers);
  fputs("\n}\n", out);
  return ferror(out) ? -1 : 0;
}
