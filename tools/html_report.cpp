#include "html_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <vector>

enum { TopCount = 20 };
// At most a month of hours and two years of days are drawn: more bars
// than that are thinner than a pixel. A longer period shows its end.
enum { MostHours = 24 * 31, MostDays = 366 * 2 };
// Periods up to three days show their status classes by the hour.
enum { HourlyClassesUpTo = 72 };

static const char PageHead[] =
    "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
    "<title>Mirt HTTP server log summary</title>\n<style>\n"
    "body{font-family:sans-serif;margin:1em 2em;color:#222;max-width:1000px}\n"
    "h1{font-size:1.5em}h2{font-size:1.15em;margin-top:1.6em}\n"
    "table{border-collapse:collapse}td,th{padding:2px 8px;text-align:left}\n"
    "td.n,th.n{text-align:right;font-variant-numeric:tabular-nums}\n"
    "tr:nth-child(even){background:#f3f3f3}\n"
    "td.name{word-break:break-all;max-width:520px}\n"
    ".bar{display:inline-block;height:10px;background:#4a78b0}\n"
    "svg.chart{display:block;width:100%;height:auto;background:#fafafa}\n"
    "svg text{font-size:11px;fill:#444}\n"
    ".key span{display:inline-block;width:10px;height:10px;margin:0 4px 0 12px}\n"
    "th.sort{cursor:pointer;text-decoration:underline dotted}\n"
    "tr.query td.name{padding-left:2em;color:#555}\n"
    "</style>\n</head>\n<body>\n<h1>Mirt HTTP server log summary</h1>\n";
// Sorting is the page's only script, written inline so that the report
// stays one file that opens offline. A click on a column heading sorts by
// it (numbers by the exact value in data-v, busiest first; a second click
// turns the order round); "#sort=TABLE:COLUMN[:asc]" in the address opens
// the page sorted, so a sorted view can be shared.
static const char SortScript[] =
    "<script>\n(function(){\n"
    "function key(td){var v=td.getAttribute('data-v');return v!==null?parseFloat(v):"
    "td.textContent;}\n"
    "function sortBy(t,col,desc){var rows=Array.prototype.slice.call(t.rows,1);\n"
    "rows.sort(function(a,b){var x=key(a.cells[col]),y=key(b.cells[col]);\n"
    "var c=(typeof x==='number'&&typeof y==='number')?x-y:String(x).localeCompare(String(y));\n"
    "return desc?-c:c;});\n"
    "var body=t.tBodies[0];rows.forEach(function(r){body.appendChild(r);});\n"
    "t.setAttribute('data-sorted',col+(desc?':desc':':asc'));}\n"
    "document.querySelectorAll('table.top').forEach(function(t){\n"
    "Array.prototype.forEach.call(t.rows[0].cells,function(th,i){th.className+=' sort';\n"
    "th.addEventListener('click',function(){sortBy(t,i,t.getAttribute('data-sorted')!==i+':desc');"
    "});});});\n"
    "var m=/^#sort=([A-Za-z-]+):([0-9]+)(:asc)?$/.exec(location.hash);\n"
    "if(m){var t=document.getElementById(m[1]);if(t)sortBy(t,+m[2],!m[3]);}\n"
    "})();\n</script>\n";
static const char PageTail[] = "</body>\n</html>\n";
static const char TotalsHead[] = "<table class=\"totals\">\n";
static const char TotalRow[] = "<tr><th>%s</th><td class=\"n\">%s</td></tr>\n";
static const char TableEnd[] = "</table>\n";
static const char Heading[] = "<h2>%s</h2>\n";
static const char NotePara[] = "<p>%s</p>\n";
static const char NoRequests[] = "<p>No requests in the logs.</p>\n";
static const char ChartHead[] =
    "<svg class=\"chart\" id=\"%s\" viewBox=\"0 0 %d %d\" role=\"img\" "
    "xmlns=\"http://www.w3.org/2000/svg\"><title>%s</title>\n";
static const char ChartBar[] =
    "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill=\"%s\">"
    "<title>%s: %s</title></rect>\n";
static const char ChartAxis[] =
    "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#888\"/>\n";
static const char ChartLabel[] =
    "<text x=\"%.1f\" y=\"%d\" text-anchor=\"%s\">%s</text>\n";
static const char ChartEnd[] = "</svg>\n";
static const char KeyHead[] = "<p class=\"key\">";
static const char KeyItem[] = "<span style=\"background:%s\"></span>%s";
static const char KeyEnd[] = "</p>\n";
static const char TopHead[] =
    "<table class=\"top\" id=\"%s\">\n<tr><th class=\"n\">requests</th><th class=\"n\">bytes"
    "</th><th>%s</th><th></th></tr>\n";
static const char TopRow[] =
    "<tr%s><td class=\"n\" data-v=\"%" PRIu64 "\">%" PRIu64 "</td><td class=\"n\" data-v=\"%"
    PRIu64 "\">%s</td><td class=\"name\">%s</td><td><span class=\"bar\" style=\"width:%dpx\">"
    "</span></td></tr>\n";
static const char QueryRowClass[] = " class=\"query\"";
static const char QueryHead[] =
    "<table class=\"groups\" id=\"queries\">\n<tr><th class=\"n\">requests</th><th class=\"n\">"
    "bytes</th><th>path, then its query strings</th><th></th></tr>\n";
static const char ProfileHead[] =
    "<table class=\"top\" id=\"hour-of-day\">\n<tr><th>hour (UTC)</th><th class=\"n\">requests"
    "</th><th class=\"n\">bytes</th><th></th></tr>\n";
static const char ProfileRow[] =
    "<tr><td>%02d:00</td><td class=\"n\" data-v=\"%" PRIu64 "\">%" PRIu64 "</td><td class=\"n\""
    " data-v=\"%" PRIu64 "\">%s</td><td><span class=\"bar\" style=\"width:%dpx\"></span></td>"
    "</tr>\n";
static const char StatusHead[] =
    "<table class=\"top\" id=\"statuses\">\n<tr><th>status</th><th class=\"n\">requests"
    "</th><th class=\"n\">bytes</th></tr>\n";
static const char StatusRow[] =
    "<tr><td>%d</td><td class=\"n\" data-v=\"%" PRIu64 "\">%" PRIu64 "</td><td class=\"n\" "
    "data-v=\"%" PRIu64 "\">%s</td></tr>\n";
static const char NoneShown[] = "(none)";
static const char BarColour[] = "#4a78b0";
static const char *const ClassColours[StatusClasses] = {"#999999", "#3c9a4a", "#4a78b0",
                                                        "#e0962a", "#c8342c"};
static const char *const ClassNames[StatusClasses] = {"1xx", "2xx", "3xx", "4xx", "5xx"};

enum { ChartWidth = 960, ChartHeight = 220, Left = 64, Right = 8, Top = 10, Bottom = 24 };

void HtmlText(char *dst, size_t size, const char *src, size_t len) {
  if (size == 0) return;
  size_t o = 0;
  for (size_t i = 0; i < len; i++) {
    unsigned char c = (unsigned char)src[i];
    char piece[8];
    if (c < 0x20 || c == 0x7f)
      snprintf(piece, sizeof piece, "\\x%02x", c);
    else if (c == '&')
      snprintf(piece, sizeof piece, "&amp;");
    else if (c == '<')
      snprintf(piece, sizeof piece, "&lt;");
    else if (c == '>')
      snprintf(piece, sizeof piece, "&gt;");
    else if (c == '"')
      snprintf(piece, sizeof piece, "&quot;");
    else if (c == '\'')
      snprintf(piece, sizeof piece, "&#39;");
    else {
      piece[0] = (char)c;
      piece[1] = '\0';
    }
    size_t n = strlen(piece);
    // A piece is never cut: half an entity would break the page.
    if (o + n >= size) break;
    memcpy(dst + o, piece, n);
    o += n;
  }
  dst[o] = '\0';
}

// "1234567 (1.2 MiB)"-style readable amount, for titles and totals.
static void Amount(char *out, size_t size, uint64_t bytes) {
  static const char *const Units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) {
    snprintf(out, size, "%" PRIu64 " B", bytes);
    return;
  }
  double v = (double)bytes / 1024;
  int u = 0;
  while (v >= 1024 && u < 5) {
    v /= 1024;
    u++;
  }
  snprintf(out, size, "%" PRIu64 " B (%.1f %s)", bytes, v, Units[u]);
}

// The short form alone ("1.2 MiB", "512 B"), for table cells.
static void ShortAmount(char *out, size_t size, uint64_t bytes) {
  char full[96];
  Amount(full, sizeof full, bytes);
  const char *open = strchr(full, '(');
  if (!open) {
    snprintf(out, size, "%s", full);
    return;
  }
  snprintf(out, size, "%.*s", (int)strcspn(open + 1, ")"), open + 1);
}

// "2026-12-08" or "2026-12-08 13:00" for the unit that starts at `time`.
static void UnitLabel(char *out, size_t size, int64_t time, bool hours) {
  char date[26];
  FormatLogDate(time, date);
  // "Www, DD Mon YYYY HH:MM:SS": day, month name and year as written.
  snprintf(out, size, "%.2s %.3s %.4s%s%.*s", date + 5, date + 8, date + 12, hours ? " " : "",
           hours ? 5 : 0, date + 17);
}

static int64_t FloorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// The counts of a chart: one series (or five stacked) per unit of time.
struct Series {
  int64_t first = 0;  // first unit (hours or days since 1970)
  bool hours = true;
  bool cut = false;   // the period was longer than a chart holds
  std::vector<uint64_t> values[StatusClasses];
  int layers = 1;
};

enum What { Requests, Bytes, Classes };

static Series Collect(const Summary &s, bool hours, What what) {
  Series out;
  out.hours = hours;
  out.layers = what == Classes ? StatusClasses : 1;
  int64_t size = hours ? 3600 : 86400;
  int64_t first = FloorDiv(s.firstTime, size), last = FloorDiv(s.lastTime, size);
  int64_t most = hours ? MostHours : MostDays;
  if (last - first + 1 > most) {
    first = last - most + 1;
    out.cut = true;
  }
  out.first = first;
  for (int l = 0; l < out.layers; l++) out.values[l].assign((size_t)(last - first + 1), 0);
  for (const auto &h : s.hours) {
    int64_t unit = hours ? h.first : FloorDiv(h.first, 24);
    if (unit < first || unit > last) continue;
    size_t i = (size_t)(unit - first);
    if (what == Requests) out.values[0][i] += h.second.tally.requests;
    if (what == Bytes) out.values[0][i] += h.second.tally.bytes;
    if (what == Classes)
      for (int l = 0; l < StatusClasses; l++) out.values[l][i] += h.second.classes[l];
  }
  return out;
}

static void WriteChart(FILE *out, const char *id, const char *title, const Series &c,
                       bool bytes) {
  size_t n = c.values[0].size();
  uint64_t top = 1;
  for (size_t i = 0; i < n; i++) {
    uint64_t sum = 0;
    for (int l = 0; l < c.layers; l++) sum += c.values[l][i];
    top = std::max(top, sum);
  }
  fprintf(out, ChartHead, id, ChartWidth, ChartHeight, title);
  int plotW = ChartWidth - Left - Right, plotH = ChartHeight - Top - Bottom;
  int base = ChartHeight - Bottom;
  fprintf(out, ChartAxis, Left, Top, Left, base);
  fprintf(out, ChartAxis, Left, base, ChartWidth - Right, base);
  char text[96], label[40];
  double w = (double)plotW / (double)n;
  int64_t unitSize = c.hours ? 3600 : 86400;
  for (size_t i = 0; i < n; i++) {
    UnitLabel(label, sizeof label, (c.first + (int64_t)i) * unitSize, c.hours);
    double y = base;
    for (int l = 0; l < c.layers; l++) {
      uint64_t v = c.values[l][i];
      if (v == 0) continue;
      double h = (double)v / (double)top * plotH;
      y -= h;
      if (bytes)
        Amount(text, sizeof text, v);
      else if (c.layers > 1)
        snprintf(text, sizeof text, "%" PRIu64 " %s", v, ClassNames[l]);
      else
        snprintf(text, sizeof text, "%" PRIu64, v);
      fprintf(out, ChartBar, Left + w * (double)i + (w > 3 ? 0.5 : 0), y,
              w > 3 ? w - 1 : w, h, c.layers > 1 ? ClassColours[l] : BarColour, label, text);
    }
  }
  // The largest value at the top of the scale, the first and last units
  // under the axis.
  if (bytes)
    Amount(text, sizeof text, top);
  else
    snprintf(text, sizeof text, "%" PRIu64, top);
  // Only the short form of a byte amount fits left of the axis.
  const char *shortText = strchr(text, '(') ? strchr(text, '(') + 1 : text;
  char scale[40];
  snprintf(scale, sizeof scale, "%.*s", (int)strcspn(shortText, ")"), shortText);
  fprintf(out, ChartLabel, (double)Left - 4, Top + 10, "end", scale);
  fprintf(out, ChartLabel, (double)Left - 4, base, "end", "0");
  UnitLabel(label, sizeof label, c.first * unitSize, c.hours);
  fprintf(out, ChartLabel, (double)Left, base + 16, "start", label);
  if (n > 1) {
    UnitLabel(label, sizeof label, (c.first + (int64_t)n - 1) * unitSize, c.hours);
    fprintf(out, ChartLabel, (double)(ChartWidth - Right), base + 16, "end", label);
  }
  fputs(ChartEnd, out);
  if (c.cut)
    fprintf(out, NotePara, c.hours ? "The period is longer than a month: the last 31 days are shown."
                                   : "The period is longer than two years: the last 732 days are shown.");
}

static void WriteTopRow(FILE *out, const Entry &e, uint64_t most, const char *rowClass) {
  // Control bytes may take four characters and '&' five each.
  static char name[4096 * 6 + 1];
  char amount[96];
  HtmlText(name, sizeof name, e.first.data(), e.first.size());
  ShortAmount(amount, sizeof amount, e.second.bytes);
  int width = (int)((double)e.second.requests / (double)most * 200);
  fprintf(out, TopRow, rowClass, e.second.requests, e.second.requests, e.second.bytes, amount,
          e.first.empty() ? NoneShown : name, width < 1 ? 1 : width);
}

static void WriteTop(FILE *out, const char *id, const char *title, const char *column,
                     const TallyMap &map) {
  if (map.empty()) return;
  char heading[160];
  snprintf(heading, sizeof heading, "%s (top %zu of %zu)", title,
           std::min((size_t)TopCount, map.size()), map.size());
  fprintf(out, Heading, heading);
  fprintf(out, TopHead, id, column);
  std::vector<const Entry *> top = TopEntries(map, TopCount);
  uint64_t most = top.empty() ? 1 : std::max<uint64_t>(top[0]->second.requests, 1);
  for (const Entry *e : top) WriteTopRow(out, *e, most, "");
  fputs(TableEnd, out);
}

// The most requested paths that were asked with query strings, each
// followed by its busiest queries, indented.
static void WriteQueries(FILE *out, const Summary &s) {
  if (s.queries.empty()) return;
  fprintf(out, Heading, "Query strings of the most requested paths");
  fputs(QueryHead, out);
  std::vector<QueryGroup> groups = GroupQueries(s, TopCount, 5);
  uint64_t most = groups.empty() ? 1 : std::max<uint64_t>(groups[0].path->second.requests, 1);
  for (const QueryGroup &g : groups) {
    if (g.queries.empty()) continue;
    WriteTopRow(out, *g.path, most, "");
    for (const Entry *q : g.queries) {
      size_t mark = q->first.find('?');
      Entry shown(q->first.substr(mark), q->second);
      WriteTopRow(out, shown, most, QueryRowClass);
    }
  }
  fputs(TableEnd, out);
}

// Requests by the hour of the day they came in, over the whole period.
static void WriteProfile(FILE *out, const Summary &s) {
  Tally hours[24];
  for (const auto &h : s.hours) {
    int hour = (int)(h.first % 24);
    if (hour < 0) hour += 24;
    hours[hour].requests += h.second.tally.requests;
    hours[hour].bytes += h.second.tally.bytes;
  }
  uint64_t most = 1;
  for (const Tally &t : hours) most = std::max(most, t.requests);
  fprintf(out, Heading, "Requests by hour of day");
  fputs(ProfileHead, out);
  char amount[96];
  for (int h = 0; h < 24; h++) {
    ShortAmount(amount, sizeof amount, hours[h].bytes);
    int width = (int)((double)hours[h].requests / (double)most * 200);
    fprintf(out, ProfileRow, h, hours[h].requests, hours[h].requests, hours[h].bytes, amount,
            hours[h].requests && width < 1 ? 1 : width);
  }
  fputs(TableEnd, out);
}

int WriteHtmlReport(const Summary &s, FILE *out) {
  fputs(PageHead, out);
  char value[96];
  fputs(TotalsHead, out);
  snprintf(value, sizeof value, "%zu", s.files.size());
  fprintf(out, TotalRow, "Files read", value);
  snprintf(value, sizeof value, "%" PRIu64, s.lines);
  fprintf(out, TotalRow, "Lines read", value);
  snprintf(value, sizeof value, "%" PRIu64, s.rejected);
  fprintf(out, TotalRow, "Lines rejected (see the error log)", value);
  if (s.anyRequest) {
    char date[26];
    FormatLogDate(s.firstTime, date);
    snprintf(value, sizeof value, "%s UTC", date);
    fprintf(out, TotalRow, "First request", value);
    FormatLogDate(s.lastTime, date);
    snprintf(value, sizeof value, "%s UTC", date);
    fprintf(out, TotalRow, "Last request", value);
  }
  snprintf(value, sizeof value, "%" PRIu64, s.total.requests);
  fprintf(out, TotalRow, "Requests", value);
  Amount(value, sizeof value, s.total.bytes);
  fprintf(out, TotalRow, "Bytes sent", value);
  if (s.from != INT64_MIN || s.to != INT64_MAX) {
    snprintf(value, sizeof value, "%" PRIu64, s.outside);
    fprintf(out, TotalRow, "Lines outside the dates", value);
  }
  if (s.anyRequest) {
    snprintf(value, sizeof value, "%zu", s.visitors.size());
    fprintf(out, TotalRow, "Unique visitors (address and user agent per day)", value);
  }
  fputs(TableEnd, out);

  if (!s.anyRequest) {
    fputs(NoRequests, out);
    fputs(PageTail, out);
    return ferror(out) ? -1 : 0;
  }

  fprintf(out, Heading, "Requests per hour");
  WriteChart(out, "requests-per-hour", "Requests per hour", Collect(s, true, Requests), false);
  fprintf(out, Heading, "Bytes per hour");
  WriteChart(out, "bytes-per-hour", "Bytes per hour", Collect(s, true, Bytes), true);
  fprintf(out, Heading, "Requests per day");
  WriteChart(out, "requests-per-day", "Requests per day", Collect(s, false, Requests), false);
  fprintf(out, Heading, "Bytes per day");
  WriteChart(out, "bytes-per-day", "Bytes per day", Collect(s, false, Bytes), true);

  bool byHour = s.lastTime - s.firstTime <= HourlyClassesUpTo * 3600;
  const char *classTitle = byHour ? "Status classes per hour" : "Status classes per day";
  fprintf(out, Heading, classTitle);
  fputs(KeyHead, out);
  for (int l = 0; l < StatusClasses; l++) fprintf(out, KeyItem, ClassColours[l], ClassNames[l]);
  fputs(KeyEnd, out);
  WriteChart(out, "status-classes", classTitle, Collect(s, byHour, Classes), false);

  fprintf(out, Heading, "Requests by status");
  fputs(StatusHead, out);
  char amount[96];
  for (int code = 0; code < 1000; code++) {
    if (s.statuses[code].requests == 0) continue;
    ShortAmount(amount, sizeof amount, s.statuses[code].bytes);
    fprintf(out, StatusRow, code, s.statuses[code].requests, s.statuses[code].requests,
            s.statuses[code].bytes, amount);
  }
  fputs(TableEnd, out);
  WriteProfile(out, s);

  WriteTop(out, "paths", "Most requested paths", "path", s.paths);
  WriteTop(out, "clients", "Busiest clients", "address", s.clients);
  WriteTop(out, "vhosts", "Virtual hosts", "host", s.vhosts);
  WriteQueries(out, s);
  WriteTop(out, "not-found", "Paths not found (404)", "path", s.notFound);
  WriteTop(out, "refused", "Paths refused (401 and 403)", "path", s.denied);
  WriteTop(out, "referers", "Top referrers", "referrer", s.referers);
  WriteTop(out, "agents", "Top user agents", "user agent", s.agents);
  AgentKinds kinds;
  ClassifyAgents(s, &kinds);
  WriteTop(out, "browsers", "Browsers", "browser", kinds.browsers);
  WriteTop(out, "systems", "Operating systems", "system", kinds.systems);
  WriteTop(out, "crawlers", "Crawlers and scripts", "agent", kinds.crawlers);
  WriteTop(out, "methods", "Requests by method", "method", s.methods);
  fputs(SortScript, out);
  fputs(PageTail, out);
  return ferror(out) ? -1 : 0;
}
