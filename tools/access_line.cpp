#include "access_line.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cctype>
#include <cstring>

static const char ReasonAddress[] = "bad client address";
static const char ReasonDate[] = "bad date";
static const char ReasonFields[] = "missing fields";
static const char ReasonPath[] = "bad path";
static const char ReasonStatus[] = "bad status";
static const char ReasonBytes[] = "bad byte count";
static const char ReasonNul[] = "NUL byte in line";

static const char *const WeekNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
static const char *const MonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Longest client address a line may hold: an IPv6 address in full.
enum { MaxAddress = 45 };

static bool Digits(const char *s, size_t len, uint64_t max, uint64_t *value) {
  if (len == 0) return false;
  uint64_t v = 0;
  for (size_t i = 0; i < len; i++) {
    if (s[i] < '0' || s[i] > '9') return false;
    unsigned d = (unsigned)(s[i] - '0');
    if (v > (max - d) / 10) return false;
    v = v * 10 + d;
  }
  *value = v;
  return true;
}

static int NameIndex(const char *s, const char *const *names, int count) {
  for (int i = 0; i < count; i++)
    if (memcmp(s, names[i], 3) == 0) return i;
  return -1;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
static int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  unsigned yoe = (unsigned)(y - era * 400);
  unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + (int64_t)doe - 719468;
}

static bool LeapYear(uint64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int ParseLogDate(const char *t, size_t len, int64_t *seconds) {
  // "Www, DD Mon YYYY HH:MM:SS": the server writes four-digit years only.
  static const char Shape[] = "aaa, dd aaa dddd dd:dd:dd";
  if (len != sizeof Shape - 1) return -1;
  for (size_t i = 0; i < len; i++) {
    char c = Shape[i];
    if (c == 'd' ? (t[i] < '0' || t[i] > '9') : c == 'a' ? t[i] == '\0' : t[i] != c)
      return -1;
  }
  int wday = NameIndex(t, WeekNames, 7);
  int month = NameIndex(t + 8, MonthNames, 12);
  uint64_t day = 0, year = 0, hour = 0, minute = 0, second = 0;
  Digits(t + 5, 2, 99, &day);
  Digits(t + 12, 4, 9999, &year);
  Digits(t + 17, 2, 99, &hour);
  Digits(t + 20, 2, 99, &minute);
  Digits(t + 23, 2, 99, &second);
  static const unsigned MonthDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (wday < 0 || month < 0 || day < 1 || day > MonthDays[month] || hour > 23 ||
      minute > 59 || second > 60)
    return -1;
  if (month == 1 && day == 29 && !LeapYear(year)) return -1;
  int64_t days = DaysFromCivil((int64_t)year, (unsigned)month + 1, (unsigned)day);
  // 1970-01-01 was a Thursday.
  int64_t w = (days % 7 + 7 + 4) % 7;
  if (w != wday) return -1;
  *seconds = days * 86400 + (int64_t)(hour * 3600 + minute * 60 + second);
  return 0;
}

int ParseCommonDate(const char *t, size_t len, int64_t *seconds) {
  // "DD/Mon/YYYY:HH:MM:SS +ZZZZ"
  static const char Shape[] = "dd/aaa/dddd:dd:dd:dd sdddd";
  if (len != sizeof Shape - 1) return -1;
  for (size_t i = 0; i < len; i++) {
    char c = Shape[i];
    bool ok = c == 'd'   ? (t[i] >= '0' && t[i] <= '9')
              : c == 'a' ? t[i] != '\0'
              : c == 's' ? (t[i] == '+' || t[i] == '-')
                         : t[i] == c;
    if (!ok) return -1;
  }
  int month = NameIndex(t + 3, MonthNames, 12);
  uint64_t day = 0, year = 0, hour = 0, minute = 0, second = 0, zh = 0, zm = 0;
  Digits(t, 2, 99, &day);
  Digits(t + 7, 4, 9999, &year);
  Digits(t + 12, 2, 99, &hour);
  Digits(t + 15, 2, 99, &minute);
  Digits(t + 18, 2, 99, &second);
  Digits(t + 22, 2, 99, &zh);
  Digits(t + 24, 2, 99, &zm);
  static const unsigned MonthDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 0 || day < 1 || day > MonthDays[month] || hour > 23 || minute > 59 ||
      second > 60 || zh > 23 || zm > 59)
    return -1;
  if (month == 1 && day == 29 && !LeapYear(year)) return -1;
  int64_t days = DaysFromCivil((int64_t)year, (unsigned)month + 1, (unsigned)day);
  int64_t offset = (int64_t)(zh * 3600 + zm * 60);
  // The written time is local to the offset: UTC is that time minus it.
  if (t[21] == '-') offset = -offset;
  *seconds = days * 86400 + (int64_t)(hour * 3600 + minute * 60 + second) - offset;
  return 0;
}

void FormatLogDate(int64_t seconds, char *out) {
  int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
  int64_t rest = seconds - days * 86400;
  // Civil date from days since 1970 (the inverse of DaysFromCivil).
  int64_t z = days + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  unsigned doe = (unsigned)(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = (int64_t)yoe + era * 400;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  unsigned d = doy - (153 * mp + 2) / 5 + 1;
  unsigned m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) y++;
  int64_t w = (days % 7 + 7 + 4) % 7;
  snprintf(out, 26, "%s, %02u %s %04d %02d:%02d:%02d", WeekNames[w], d, MonthNames[m - 1],
           (int)(y < 0 ? 0 : y > 9999 ? 9999 : y), (int)(rest / 3600), (int)(rest % 3600 / 60),
           (int)(rest % 60));
}

// Skips one quoted field that starts at *at ('"'), whose inside may hold
// backslash escapes; the field's inside goes to *out. False when the
// closing quote is missing.
static bool Quoted(const char **at, const char *end, Span *out) {
  const char *p = *at;
  if (p >= end || *p != '"') return false;
  const char *start = ++p;
  while (p < end && *p != '"') p += (*p == '\\' && p + 1 < end) ? 2 : 1;
  if (p >= end) return false;
  *out = {start, (size_t)(p - start)};
  *at = p + 1;
  return true;
}

// Letters, digits and the marks of a host name with its port; an address
// is a host name too, but a line that begins with one is read as
// beginning with the client.
static bool HostName(const char *p, size_t len) {
  if (len == 0 || len > 255) return false;
  for (size_t i = 0; i < len; i++)
    if (!isalnum((unsigned char)p[i]) && !strchr(".-_:[]", p[i])) return false;
  return true;
}

static Span Dash(Span s) { return s.len == 1 && s.text[0] == '-' ? Span() : s; }

static bool Address(const char *line, size_t alen) {
  char address[MaxAddress + 1];
  unsigned char scratch[16];
  if (alen == 0 || alen > MaxAddress) return false;
  memcpy(address, line, alen);
  address[alen] = '\0';
  return inet_pton(AF_INET, address, scratch) == 1 || inet_pton(AF_INET6, address, scratch) == 1;
}

// 'IDENT USER [DATE] "REQUEST" STATUS BYTES' with optional '"REFERER"
// "AGENT"' after it; `rest` starts after the address and its blank.
static int ParseCombined(const char *rest, const char *end, AccessLine *out,
                         const char **reason) {
  const char *open = (const char *)memchr(rest, '[', (size_t)(end - rest));
  if (!open || open == rest || open[-1] != ' ') {
    *reason = ReasonDate;
    return -1;
  }
  const char *close = (const char *)memchr(open, ']', (size_t)(end - open));
  if (!close || end - close < 3 || close[1] != ' ' ||
      ParseCommonDate(open + 1, (size_t)(close - open - 1), &out->time) != 0) {
    *reason = ReasonDate;
    return -1;
  }
  const char *p = close + 2;
  Span request;
  if (!Quoted(&p, end, &request) || p >= end || *p != ' ') {
    *reason = ReasonFields;
    return -1;
  }
  // "METHOD TARGET PROTOCOL"; a client that sent nothing usable is "-".
  const char *rq = request.text, *rqEnd = request.text + request.len;
  const char *b1 = (const char *)memchr(rq, ' ', request.len);
  out->method = out->path = out->query = Span();
  if (b1) {
    const char *target = b1 + 1;
    const char *b2 = (const char *)memchr(target, ' ', (size_t)(rqEnd - target));
    const char *targetEnd = b2 ? b2 : rqEnd;
    const char *query = (const char *)memchr(target, '?', (size_t)(targetEnd - target));
    out->method = {rq, (size_t)(b1 - rq)};
    out->path = {target, (size_t)((query ? query : targetEnd) - target)};
    if (query) out->query = {query + 1, (size_t)(targetEnd - query - 1)};
  } else if (!(request.len == 1 && rq[0] == '-')) {
    out->method = request;
  }
  p++;
  const char *statusEnd = (const char *)memchr(p, ' ', (size_t)(end - p));
  uint64_t status = 0;
  if (!statusEnd || !Digits(p, (size_t)(statusEnd - p), 999, &status) || status < 100) {
    *reason = ReasonStatus;
    return -1;
  }
  out->status = (int)status;
  p = statusEnd + 1;
  const char *bytesEnd = (const char *)memchr(p, ' ', (size_t)(end - p));
  if (!bytesEnd) bytesEnd = end;
  out->bytes = 0;
  if (!(bytesEnd - p == 1 && *p == '-') &&
      !Digits(p, (size_t)(bytesEnd - p), UINT64_MAX, &out->bytes)) {
    *reason = ReasonBytes;
    return -1;
  }
  out->referer = out->agent = Span();
  if (bytesEnd == end) return 0;  // the Common Log Format ends here
  p = bytesEnd + 1;
  Span referer, agent;
  if (!Quoted(&p, end, &referer) || p >= end || *p != ' ' || !Quoted(&++p, end, &agent)) {
    *reason = ReasonFields;
    return -1;
  }
  out->referer = Dash(referer);
  out->agent = Dash(agent);
  return 0;
}

static const char *FindLast(const char *s, size_t len, char c) {
  while (len > 0) {
    if (s[len - 1] == c) return s + len - 1;
    len--;
  }
  return nullptr;
}

int ParseAccessLine(const char *line, size_t len, AccessLine *out, const char **reason) {
  if (len > 0 && line[len - 1] == '\r') len--;  // a log copied from Windows
  if (memchr(line, '\0', len)) {
    *reason = ReasonNul;
    return -1;
  }
  const char *end = line + len;

  // Client address, then a blank; "[" next is the server's own shape.
  const char *blank = (const char *)memchr(line, ' ', len);
  size_t alen = blank ? (size_t)(blank - line) : len;
  out->vhost = Span();
  if (blank && !Address(line, alen) && HostName(line, alen)) {
    // "VHOST HOST IDENT USER [DATE] ...": the client is the second field.
    const char *second = blank + 1;
    const char *next = (const char *)memchr(second, ' ', (size_t)(end - second));
    if (next && next[1] != '[' && Address(second, (size_t)(next - second))) {
      out->vhost = {line, alen};
      line = second;
      blank = next;
      alen = (size_t)(next - second);
    }
  }
  if (!Address(line, alen)) {
    *reason = ReasonAddress;
    return -1;
  }
  out->address = {line, alen};
  if (!blank || end - blank < 2) {
    *reason = ReasonDate;
    return -1;
  }
  if (blank[1] != '[') return ParseCombined(blank + 1, end, out, reason);
  out->referer = out->agent = Span();

  // The date between the brackets, then "] ".
  const char *date = blank + 2;
  const char *close = (const char *)memchr(date, ']', (size_t)(end - date));
  if (!close || end - close < 2 || close[1] != ' ' ||
      ParseLogDate(date, (size_t)(close - date), &out->time) != 0) {
    *reason = ReasonDate;
    return -1;
  }

  // "METHOD PATH STATUS BYTES", taken from the right since a decoded path
  // may hold blanks of its own.
  const char *rest = close + 2;
  const char *bytesBlank = FindLast(rest, (size_t)(end - rest), ' ');
  const char *statusBlank = bytesBlank ? FindLast(rest, (size_t)(bytesBlank - rest), ' ') : nullptr;
  const char *methodBlank =
      statusBlank ? (const char *)memchr(rest, ' ', (size_t)(statusBlank - rest)) : nullptr;
  if (!methodBlank) {
    *reason = ReasonFields;
    return -1;
  }
  uint64_t status = 0;
  if (!Digits(statusBlank + 1, (size_t)(bytesBlank - statusBlank - 1), 999, &status) ||
      status < 100) {
    *reason = ReasonStatus;
    return -1;
  }
  if (!Digits(bytesBlank + 1, (size_t)(end - bytesBlank - 1), UINT64_MAX, &out->bytes)) {
    *reason = ReasonBytes;
    return -1;
  }
  out->status = (int)status;
  out->method = {rest, (size_t)(methodBlank - rest)};
  out->path = {methodBlank + 1, (size_t)(statusBlank - methodBlank - 1)};
  if (out->path.len > 0 && out->path.text[0] != '/') {
    *reason = ReasonPath;
    return -1;
  }
  return 0;
}
