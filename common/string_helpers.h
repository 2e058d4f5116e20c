// Small string helpers shared by the servers and tools.
#pragma once
#include <cstddef>
#include <cstdint>

// Case-insensitive search folding ASCII letters only; null when absent.
const char *stristr(const char *s, const char *t);
// stristr(s, needles[i]) for each of `count` needles that all begin with
// '\n' (the fields of a request head), into found[i]: one pass over s
// for all of them.
void FindLineStarts(const char *s, const char *const *needles, size_t count,
                    const char **found);
// Cuts one trailing '/' or '\'.
void RemoveTrailing(char *s);
// '/' to '\' in place; returns the length.
size_t WindowizeString(char *s);

// Decimal conversion as atoi/atol read it (leading blanks, a sign, digits up
// to the first non-digit), saturating at the int64 range instead of wrapping.
int64_t ParseLong(const char *s);
// Same, saturated to the int range.
int ParseInt(const char *s);
// A TCP port written as a whole decimal number 1..65535 and nothing else;
// -1 for anything else ("http", "98616", "-1", "", "80x").
int ParsePort(const char *s);

// Copies `src` into `dst` (size bytes, always NUL-terminated), writing each
// byte below 0x20 and 0x7F as \xHH so that one log entry stays one line.
// Returns dst.
char *LogEscape(char *dst, size_t size, const char *src);
// Copies `length` bytes of `src` into `dst` (size bytes, always
// NUL-terminated), writing each byte that `escaped` picks as %XX; a byte
// whose text no longer fits whole ends the copy. Returns the length written.
size_t PercentEscape(char *dst, size_t size, const char *src, size_t length,
                     bool (*escaped)(unsigned char));
