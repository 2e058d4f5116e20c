// One line of an HTTP access log, taken apart. Two shapes are read, told
// apart by each line itself:
//   the server's own: "ADDRESS [Www, DD Mon YYYY HH:MM:SS] METHOD PATH STATUS BYTES"
//   the Combined Log Format: 'HOST IDENT USER [DD/Mon/YYYY:HH:MM:SS +ZZZZ]
//   "REQUEST LINE" STATUS BYTES "REFERER" "USER AGENT"' (referrer and agent
//   may be left out, which is the Common Log Format); a combined line may
//   begin with the virtual host ("VHOST[:PORT] HOST IDENT ...").
#pragma once
#include <cstddef>
#include <cstdint>

// A piece of the line (not NUL-terminated; points into the line).
struct Span {
  const char *text = nullptr;
  size_t len = 0;
};

struct AccessLine {
  Span address;
  Span method;    // may be empty
  Span path;      // may be empty; in the server's own lines it begins with '/';
                  // in combined lines it is the target without its query
  Span query;     // what followed '?' in the target (empty when nothing did)
  Span vhost;     // the virtual host of a line that names one, else empty
  Span referer;   // empty when the line has none or "-"
  Span agent;     // empty when the line has none or "-"
  int64_t time = 0;  // the date as seconds since 1970, UTC
  int status = 0;
  uint64_t bytes = 0;
};

// Parses len bytes (without the line feed). 0 on success; -1 with *reason
// set to a short text saying what is wrong.
int ParseAccessLine(const char *line, size_t len, AccessLine *out, const char **reason);

// Seconds since 1970 of a date written as "Www, DD Mon YYYY HH:MM:SS" in
// UTC; -1 when the text is not such a date (the weekday must match).
int ParseLogDate(const char *text, size_t len, int64_t *seconds);
// Seconds since 1970 of a date written as "DD/Mon/YYYY:HH:MM:SS +ZZZZ"
// (any offset from UTC); -1 when the text is not such a date.
int ParseCommonDate(const char *text, size_t len, int64_t *seconds);
// The date of seconds since 1970 as "Www, DD Mon YYYY HH:MM:SS" (26 bytes).
void FormatLogDate(int64_t seconds, char *out);
