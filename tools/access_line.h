// One line of the HTTP server's access log, taken apart:
// "ADDRESS [Www, DD Mon YYYY HH:MM:SS] METHOD PATH STATUS BYTES".
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
  Span date;      // as written, without the brackets
  Span method;    // may be empty
  Span path;      // may be empty; otherwise begins with '/'
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
