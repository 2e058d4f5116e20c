#include "encodings.h"

#include <cstring>

namespace {

bool IsBlank(char ch) { return ch == ' ' || ch == '\t'; }

char Lower(char ch) { return ch >= 'A' && ch <= 'Z' ? (char)(ch + 32) : ch; }

bool SameName(const char *text, size_t length, const char *lower) {
  size_t k = 0;
  for (; k < length && lower[k]; k++)
    if (Lower(text[k]) != lower[k]) return false;
  return k == length && lower[k] == '\0';
}

// The weight of one entry's parameters (the text after the coding, up to
// the next ','): 1 without "q=", else above 0 or not. A weight that is no
// qvalue ("0" or "1" with up to three decimals) counts as a refusal: a
// compressed body is sent only to a client that clearly takes it.
bool WeightAllows(const char *p, const char *end) {
  while (p < end) {
    while (p < end && (IsBlank(*p) || *p == ';')) p++;
    if (end - p >= 2 && Lower(p[0]) == 'q' && p[1] == '=') {
      p += 2;
      if (p == end || (*p != '0' && *p != '1')) return false;
      bool positive = *p++ == '1';
      if (p < end && *p == '.') {
        p++;
        for (int digits = 0; p < end && *p >= '0' && *p <= '9'; digits++, p++) {
          if (digits == 3) return false;
          if (*p != '0') {
            if (positive) return false;  // above 1
            positive = true;
          }
        }
      }
      while (p < end && IsBlank(*p)) p++;
      return p == end && positive;
    }
    // Another parameter: passed over to its end.
    while (p < end && *p != ';') p++;
  }
  return true;
}

}  // namespace

uint8_t AcceptedCodings(const char *value) {
  if (!value) return 0;
  uint8_t named = 0, allowed = 0;
  bool star = false;
  for (const char *p = value; *p;) {
    while (IsBlank(*p) || *p == ',') p++;
    const char *name = p;
    while (*p && *p != ',' && *p != ';' && !IsBlank(*p)) p++;
    const char *end = p;
    while (*end && *end != ',') end++;
    size_t length = (size_t)(p - name);
    uint8_t coding = length == 2 && SameName(name, length, "br")       ? kCodingBr
                     : length == 4 && SameName(name, length, "gzip")   ? kCodingGzip
                     : length == 6 && SameName(name, length, "x-gzip") ? kCodingGzip
                                                                       : 0;
    bool isStar = length == 1 && name[0] == '*';
    // The first entry naming a coding decides it; codings without a
    // variant are passed over unread.
    if ((coding && !(named & coding)) || isStar) {
      bool allows = WeightAllows(p, end);
      if (isStar) star = allows;
      named |= coding;
      if (allows) allowed |= coding;
    }
    p = end;
  }
  if (star) allowed |= (uint8_t)((kCodingBr | kCodingGzip) & ~named);
  return allowed;
}
