#include "bounded_text.h"

#include <cstring>

BoundedText TextIn(char *buf, size_t size, size_t length) {
  BoundedText t = {buf, size, length, length < size};
  if (!t.fits) t.length = size > 0 ? size - 1 : 0;
  if (size > 0) buf[t.length] = '\0';
  return t;
}

void PutBytes(BoundedText *t, const char *bytes, size_t n) {
  if (!t->fits) return;
  if (n >= t->size - t->length) {
    t->fits = false;
    return;
  }
  memcpy(t->buf + t->length, bytes, n);
  t->length += n;
  t->buf[t->length] = '\0';
}

void PutText(BoundedText *t, const char *text) {
  PutBytes(t, text, strlen(text));
}

void PutChar(BoundedText *t, char ch) { PutBytes(t, &ch, 1); }

char *UnsignedText(char *out, uint64_t value) {
  char digits[20];
  size_t n = 0;
  do {
    digits[n++] = (char)('0' + value % 10);
    value /= 10;
  } while (value > 0);
  for (size_t i = 0; i < n; i++) out[i] = digits[n - 1 - i];
  out[n] = '\0';
  return out;
}

char *SignedText(char *out, int64_t value) {
  if (value >= 0) return UnsignedText(out, (uint64_t)value);
  out[0] = '-';
  // Negated in unsigned arithmetic: INT64_MIN has no positive twin.
  UnsignedText(out + 1, 0 - (uint64_t)value);
  return out;
}

void PutUnsigned(BoundedText *t, uint64_t value) {
  char text[21];
  PutText(t, UnsignedText(text, value));
}

void PutSigned(BoundedText *t, int64_t value) {
  char text[22];
  PutText(t, SignedText(text, value));
}

void PutHex(BoundedText *t, uint64_t value) {
  static const char digits[] = "0123456789abcdef";
  char text[16];
  size_t n = sizeof text;
  do {
    text[--n] = digits[value & 15];
    value >>= 4;
  } while (value > 0);
  PutBytes(t, text + n, sizeof text - n);
}

void PutFilledList(BoundedText *t, const char *format,
                   const char *const *texts, size_t count) {
  size_t next = 0;
  for (;;) {
    const char *mark = strchr(format, '%');
    if (!mark) {
      PutText(t, format);
      return;
    }
    PutBytes(t, format, (size_t)(mark - format));
    if (mark[1] == 's') {
      if (next < count) PutText(t, texts[next++]);
      format = mark + 2;
    } else if (mark[1] == '%') {
      PutChar(t, '%');
      format = mark + 2;
    } else {
      PutChar(t, '%');
      format = mark + 1;
    }
  }
}
