#include "string_helpers.h"

#include <climits>
#include <cstdio>
#include <cstring>

static unsigned char Fold(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? (unsigned char)(c + 32) : c;
}

const char *stristr(const char *s, const char *t) {
  unsigned char first = (unsigned char)t[0];
  bool letter = (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z');
  if (first != '\0' && !letter) {
    // A needle that starts with no letter (a header field's "\nName") can
    // only match where its first byte stands: the scan hops between those.
    for (s = strchr(s, (char)first); s; s = strchr(s + 1, (char)first)) {
      const char *a = s + 1, *b = t + 1;
      while (*a && *b && Fold((unsigned char)*a) == Fold((unsigned char)*b)) {
        a++;
        b++;
      }
      if (*b == '\0') return s;
    }
    return nullptr;
  }
  for (; *s; s++) {
    const char *a = s, *b = t;
    while (*a && *b && Fold((unsigned char)*a) == Fold((unsigned char)*b)) {
      a++;
      b++;
    }
    if (*b == '\0') return s;
  }
  return nullptr;
}

namespace {

// True when s begins with t, letter case aside.
bool StartsFolded(const char *s, const char *t) {
  for (; *t; s++, t++)
    if (*s == '\0' || Fold((unsigned char)*s) != Fold((unsigned char)*t))
      return false;
  return true;
}

}  // namespace

void FindLineStarts(const char *s, const char *const *needles, size_t count,
                    const char **found) {
  size_t left = count;
  for (size_t i = 0; i < count; i++) found[i] = nullptr;
  for (const char *p = strchr(s, '\n'); p && left > 0; p = strchr(p + 1, '\n')) {
    // Most lines are told apart from most needles by their first letter.
    unsigned char first = Fold((unsigned char)p[1]);
    if (first == '\0') break;
    for (size_t i = 0; i < count; i++) {
      if (found[i] || Fold((unsigned char)needles[i][1]) != first ||
          !StartsFolded(p + 1, needles[i] + 1))
        continue;
      found[i] = p;
      left--;
    }
  }
}

void RemoveTrailing(char *s) {
  size_t n = strlen(s);
  if (n > 0 && (s[n - 1] == '/' || s[n - 1] == '\\')) s[n - 1] = '\0';
}

size_t WindowizeString(char *s) {
  size_t n = 0;
  for (; s[n]; n++)
    if (s[n] == '/') s[n] = '\\';
  return n;
}

int64_t ParseLong(const char *s) {
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) s++;
  bool negative = false;
  if (*s == '+' || *s == '-') negative = *s++ == '-';
  uint64_t v = 0;
  const uint64_t limit = negative ? (uint64_t)INT64_MAX + 1 : (uint64_t)INT64_MAX;
  for (; *s >= '0' && *s <= '9'; s++) {
    unsigned d = (unsigned)(*s - '0');
    if (v > (limit - d) / 10) {
      v = limit;
      while (*s >= '0' && *s <= '9') s++;
      break;
    }
    v = v * 10 + d;
  }
  if (negative) return v == (uint64_t)INT64_MAX + 1 ? INT64_MIN : -(int64_t)v;
  return (int64_t)v;
}

int ParseInt(const char *s) {
  int64_t v = ParseLong(s);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return (int)v;
}

int ParsePort(const char *s) {
  // Five digits at most, so the value cannot wrap before it is judged.
  size_t n = 0;
  int v = 0;
  for (; s[n] >= '0' && s[n] <= '9'; n++) {
    if (n == 5) return -1;
    v = v * 10 + (s[n] - '0');
  }
  if (n == 0 || s[n] != '\0' || v < 1 || v > 65535) return -1;
  return v;
}

char *LogEscape(char *dst, size_t size, const char *src) {
  if (size == 0) return dst;
  size_t o = 0;
  for (; *src; src++) {
    unsigned char c = (unsigned char)*src;
    if (c < 0x20 || c == 0x7f) {
      if (o + 4 >= size) break;
      snprintf(dst + o, 5, "\\x%02x", c);
      o += 4;
    } else {
      if (o + 1 >= size) break;
      dst[o++] = (char)c;
    }
  }
  dst[o] = '\0';
  return dst;
}

size_t PercentEscape(char *dst, size_t size, const char *src, size_t length,
                     bool (*escaped)(unsigned char)) {
  static const char hex[] = "0123456789ABCDEF";
  size_t o = 0;
  for (size_t i = 0; i < length && o + 1 < size; i++) {
    unsigned char ch = (unsigned char)src[i];
    if (escaped(ch)) {
      if (o + 4 > size) break;
      dst[o++] = '%';
      dst[o++] = hex[ch >> 4];
      dst[o++] = hex[ch & 15];
    } else {
      dst[o++] = (char)ch;
    }
  }
  if (size > 0) dst[o] = '\0';
  return o;
}
