#include "conditional.h"

#include <cstdio>
#include <cstring>

#include "bounded_text.h"

namespace {

const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int MonthIndex(const char *name) {
  for (int m = 0; m < 12; m++)
    if (strcmp(name, kMonths[m]) == 0) return m;
  return -1;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

time_t ToTime(int year, int month, int day, int hh, int mm, int ss) {
  if (month < 0 || day < 1 || day > 31 || hh > 23 || mm > 59 || ss > 60 ||
      hh < 0 || mm < 0 || ss < 0 || year < 1970 || year > 9999)
    return -1;
  return (time_t)(DaysFromCivil(year, month + 1, day) * 86400 + hh * 3600 +
                  mm * 60 + ss);
}

const char *SkipSpaces(const char *p) {
  while (*p == ' ' || *p == '\t') p++;
  return p;
}

// The next entity tag of a list at *p (W/ dropped), as pointer and
// length; false when the list holds no more tags.
bool NextTag(const char **p, const char **tag, size_t *length) {
  const char *at = SkipSpaces(*p);
  while (*at == ',') at = SkipSpaces(at + 1);
  if (*at == '\0') return false;
  if (at[0] == 'W' && at[1] == '/') at += 2;
  const char *end = at;
  if (*end == '"') {
    const char *close = strchr(end + 1, '"');
    end = close ? close + 1 : end + strlen(end);
  } else {
    end += strcspn(end, ", \t");
  }
  *tag = at;
  *length = (size_t)(end - at);
  *p = end;
  return true;
}

}  // namespace

void FormatETag(char *out, size_t size, uint64_t fileSize, time_t mtime) {
  // "<size>-<mtime>" in lower-case hex, quotes included.
  BoundedText t = TextIn(out, size);
  PutChar(&t, '"');
  PutHex(&t, fileSize);
  PutChar(&t, '-');
  PutHex(&t, (uint64_t)(int64_t)mtime);
  PutChar(&t, '"');
}

time_t ParseHttpDate(const char *text) {
  char weekday[16], month[4];
  int day, year, hh, mm, ss, used = -1;
  text = SkipSpaces(text);
  // Sun, 06 Nov 1994 08:49:37 GMT
  if (sscanf(text, "%3[A-Za-z], %2d %3s %4d %2d:%2d:%2d GMT%n", weekday, &day,
             month, &year, &hh, &mm, &ss, &used) == 7 &&
      used > 0 && *SkipSpaces(text + used) == '\0')
    return ToTime(year, MonthIndex(month), day, hh, mm, ss);
  // Sunday, 06-Nov-94 08:49:37 GMT: two-digit years are taken as the
  // nearest fitting century.
  used = -1;
  if (sscanf(text, "%15[A-Za-z], %2d-%3s-%2d %2d:%2d:%2d GMT%n", weekday,
             &day, month, &year, &hh, &mm, &ss, &used) == 7 &&
      used > 0 && *SkipSpaces(text + used) == '\0')
    return ToTime(year + (year < 70 ? 2000 : 1900), MonthIndex(month), day, hh,
                  mm, ss);
  // Sun Nov  6 08:49:37 1994
  used = -1;
  if (sscanf(text, "%3[A-Za-z] %3s %2d %2d:%2d:%2d %4d%n", weekday, month,
             &day, &hh, &mm, &ss, &year, &used) == 7 &&
      used > 0 && *SkipSpaces(text + used) == '\0')
    return ToTime(year, MonthIndex(month), day, hh, mm, ss);
  return -1;
}

bool NotModified(const char *ifNoneMatch, const char *ifModifiedSince,
                 const char *etag, time_t mtime, time_t now) {
  if (ifNoneMatch) {
    // Weak comparison: a client may send back a tag it marked weak.
    const char *p = ifNoneMatch, *tag;
    size_t length, own = strlen(etag);
    while (NextTag(&p, &tag, &length)) {
      if (length == 1 && tag[0] == '*') return true;
      if (length == own && memcmp(tag, etag, own) == 0) return true;
    }
    return false;
  }
  if (!ifModifiedSince) return false;
  time_t since = ParseHttpDate(ifModifiedSince);
  // A date in the future says nothing about the client's copy.
  if (since < 0 || since > now) return false;
  return mtime <= since;
}

bool IfRangeHolds(const char *ifRange, const char *etag, time_t mtime) {
  const char *value = SkipSpaces(ifRange);
  if (value[0] == '"') {
    size_t own = strlen(etag);
    size_t length = strcspn(value, " \t");
    return length == own && memcmp(value, etag, own) == 0;
  }
  if (value[0] == 'W' && value[1] == '/') return false;  // never strong
  time_t date = ParseHttpDate(value);
  return date >= 0 && date == mtime;
}
