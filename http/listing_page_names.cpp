#include "listing_page_names.h"

#include <cstring>

namespace {

const char kHex[] = "0123456789ABCDEF";

// Bytes a link may hold as they are. None of them means anything to HTML
// inside a quoted attribute, so the link needs no entities.
bool StandsInLink(unsigned char ch) {
  if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
      (ch >= '0' && ch <= '9'))
    return true;
  return ch != '\0' && strchr("-._~!$()*+,;=@", ch) != nullptr;
}

int HexValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  return -1;
}

// Requests are decoded one code after another in ascending order, up to
// FE. So a byte FF cannot be asked for, and a '%' from %25 followed by two
// hex digits (of either case) forms a new escape that a later pass decodes when
// its code is above 25 and below FF: an entry named "%41" can only be
// asked for as "A", which is another file. Such entries get no link that
// would mislead.
bool Reachable(const unsigned char *name) {
  for (const unsigned char *p = name; *p; p++) {
    if (*p == 0xff) return false;
    if (*p != '%') continue;
    int hi = HexValue((char)p[1]);
    int lo = hi < 0 ? -1 : HexValue((char)p[2]);
    if (lo >= 0 && hi * 16 + lo > 0x25 && hi * 16 + lo < 0xff) return false;
  }
  return true;
}

}  // namespace

int EscapeHtml(const char *text, char *out, size_t size) {
  size_t n = 0;
  for (const char *p = text; *p; p++) {
    const char *entity = nullptr;
    switch (*p) {
      case '&': entity = "&amp;"; break;
      case '<': entity = "&lt;"; break;
      case '>': entity = "&gt;"; break;
      case '"': entity = "&quot;"; break;
      case '\'': entity = "&#39;"; break;
      default: break;
    }
    size_t len = entity ? strlen(entity) : 1;
    if (n + len >= size) return -1;
    if (entity)
      memcpy(out + n, entity, len);
    else
      out[n] = *p;
    n += len;
  }
  if (n >= size) return -1;
  out[n] = '\0';
  return (int)n;
}

int EncodeHref(const char *name, char *out, size_t size) {
  const unsigned char *in = (const unsigned char *)name;
  if (!Reachable(in)) return -1;
  size_t n = 0;
  for (const unsigned char *p = in; *p; p++) {
    if (StandsInLink(*p)) {
      if (n + 1 >= size) return -1;
      out[n++] = (char)*p;
      continue;
    }
    if (n + 3 >= size) return -1;
    out[n++] = '%';
    out[n++] = kHex[*p >> 4];
    out[n++] = kHex[*p & 15];
  }
  if (n >= size) return -1;
  out[n] = '\0';
  return (int)n;
}
