#include "access_line.h"

#include <arpa/inet.h>

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

// Longest address the server keeps for a client.
enum { MaxAddress = 31 };

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

  // Client address, then " [".
  const char *blank = (const char *)memchr(line, ' ', len);
  size_t alen = blank ? (size_t)(blank - line) : len;
  char address[MaxAddress + 1];
  unsigned char scratch[sizeof(struct in_addr)];
  if (alen == 0 || alen > MaxAddress) {
    *reason = ReasonAddress;
    return -1;
  }
  memcpy(address, line, alen);
  address[alen] = '\0';
  if (inet_pton(AF_INET, address, scratch) != 1) {
    *reason = ReasonAddress;
    return -1;
  }
  if (!blank || end - blank < 2 || blank[1] != '[') {
    *reason = ReasonDate;
    return -1;
  }
  out->address = {line, alen};

  // The date between the brackets, then "] ".
  const char *date = blank + 2;
  const char *close = (const char *)memchr(date, ']', (size_t)(end - date));
  if (!close || end - close < 2 || close[1] != ' ' ||
      ParseLogDate(date, (size_t)(close - date), &out->time) != 0) {
    *reason = ReasonDate;
    return -1;
  }
  out->date = {date, (size_t)(close - date)};

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
