#include "dates.h"

#include <cstdint>
#include <cstring>

const char *const week[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const mon[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

namespace {

struct Utc {
  int64_t year;
  int month;  // 0..11
  int day, weekday, hour, minute, second;
};

// The UTC calendar date of t, computed here rather than by gmtime: the
// date goes into every response header and log line, and gmtime takes the
// time-zone lock each time. Both texts are only ever written with a year
// of at most four digits into buffers sized for that; false for any other.
bool BreakDown(time_t t, Utc *u) {
  int64_t seconds = (int64_t)t;
  int64_t days = seconds / 86400, rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    days--;
  }
  u->hour = (int)(rest / 3600);
  u->minute = (int)(rest / 60 % 60);
  u->second = (int)(rest % 60);
  // 1970-01-01 was a Thursday.
  u->weekday = (int)((days % 7 + 11) % 7);
  // Civil date from days since 1970 (proleptic Gregorian, eras of 400
  // years starting on 1 March).
  int64_t z = days + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t dayOfEra = z - era * 146097;
  int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  int64_t shifted = (5 * dayOfYear + 2) / 153;  // 0 = March
  u->day = (int)(dayOfYear - (153 * shifted + 2) / 5 + 1);
  u->month = (int)(shifted < 10 ? shifted + 2 : shifted - 10);
  u->year = yearOfEra + era * 400 + (u->month <= 1 ? 1 : 0);
  return u->year >= 0 && u->year <= 9999;
}

char *TwoDigits(char *p, int value) {
  p[0] = (char)('0' + value / 10);
  p[1] = (char)('0' + value % 10);
  return p + 2;
}

char *Name(char *p, const char *name) {
  memcpy(p, name, 3);
  return p + 3;
}

// The last texts made: an answer asks for the current second and the
// file's date, its log line for the current second again (both servers
// run one thread).
struct Made {
  time_t t;
  int length;  // -1: none yet
  char text[26];
};
Made made[2] = {{0, -1, ""}, {0, -1, ""}};
int nextMade = 0;

int MakeDateARPANET(char *buf, time_t t) {
  buf[0] = '\0';
  Utc u;
  if (!BreakDown(t, &u)) return 0;
  // "Sun, 06 Nov 1994 08:49:37"; the year without leading zeros.
  char *p = Name(buf, week[u.weekday]);
  *p++ = ',';
  *p++ = ' ';
  p = TwoDigits(p, u.day);
  *p++ = ' ';
  p = Name(p, mon[u.month]);
  *p++ = ' ';
  int year = (int)u.year;
  if (year >= 1000) *p++ = (char)('0' + year / 1000);
  if (year >= 100) *p++ = (char)('0' + year / 100 % 10);
  if (year >= 10) *p++ = (char)('0' + year / 10 % 10);
  *p++ = (char)('0' + year % 10);
  *p++ = ' ';
  p = TwoDigits(p, u.hour);
  *p++ = ':';
  p = TwoDigits(p, u.minute);
  *p++ = ':';
  p = TwoDigits(p, u.second);
  *p = '\0';
  return (int)(p - buf);
}

}  // namespace

int GetDateARPANET(char *buf, time_t t) {
  for (const Made &m : made) {
    if (m.length >= 0 && m.t == t) {
      memcpy(buf, m.text, (size_t)m.length + 1);
      return m.length;
    }
  }
  Made &m = made[nextMade];
  nextMade = 1 - nextMade;
  m.length = MakeDateARPANET(m.text, t);
  m.t = t;
  memcpy(buf, m.text, (size_t)m.length + 1);
  return m.length;
}

int get_date(char *buf, time_t t) {
  buf[0] = '\0';
  Utc u;
  if (!BreakDown(t, &u)) return 0;
  // "Nov 06 08:49"
  char *p = Name(buf, mon[u.month]);
  *p++ = ' ';
  p = TwoDigits(p, u.day);
  *p++ = ' ';
  p = TwoDigits(p, u.hour);
  *p++ = ':';
  p = TwoDigits(p, u.minute);
  *p = '\0';
  return (int)(p - buf);
}
