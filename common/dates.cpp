#include "dates.h"

#include <cstdio>

const char *const week[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const mon[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Both texts are only ever written with a four-digit year into buffers sized
// for that; any other broken-down time yields the empty text.
static const struct tm *BreakDown(time_t t) {
  const struct tm *tm = gmtime(&t);
  if (!tm || tm->tm_year + 1900 < 0 || tm->tm_year + 1900 > 9999 ||
      tm->tm_wday < 0 || tm->tm_wday > 6 || tm->tm_mon < 0 || tm->tm_mon > 11)
    return nullptr;
  return tm;
}

int GetDateARPANET(char *buf, time_t t) {
  buf[0] = '\0';
  const struct tm *tm = BreakDown(t);
  if (!tm) return 0;
  int n = snprintf(buf, 26, "%s, %.2d %s %d %.2d:%.2d:%.2d", week[tm->tm_wday],
                   tm->tm_mday, mon[tm->tm_mon], tm->tm_year + 1900,
                   tm->tm_hour, tm->tm_min, tm->tm_sec);
  if (n < 0 || n >= 26) {
    buf[0] = '\0';
    return 0;
  }
  return n;
}

int get_date(char *buf, time_t t) {
  buf[0] = '\0';
  const struct tm *tm = BreakDown(t);
  if (!tm) return 0;
  int n = snprintf(buf, 13, "%s %.2d %.2d:%.2d", mon[tm->tm_mon], tm->tm_mday,
                   tm->tm_hour, tm->tm_min);
  if (n < 0 || n >= 13) {
    buf[0] = '\0';
    return 0;
  }
  return n;
}
