// Text built piece by piece into a fixed buffer, for the lines written on
// every request (header blocks, log lines, listing rows): bounded like
// snprintf, without its cost of parsing a format for every number.
#pragma once
#include <cstddef>
#include <cstdint>

struct BoundedText {
  char *buf;
  size_t size;    // bytes of buf, its NUL included
  size_t length;  // text so far
  // False once a piece did not fit: that piece and every later one are
  // left out, so the text never holds half of a piece.
  bool fits;
};

// A text in buf (size bytes) that continues after its first `length`
// bytes; buf holds its NUL whenever size > 0.
BoundedText TextIn(char *buf, size_t size, size_t length = 0);
void PutBytes(BoundedText *t, const char *bytes, size_t n);
void PutText(BoundedText *t, const char *text);
void PutChar(BoundedText *t, char ch);
void PutUnsigned(BoundedText *t, uint64_t value);
void PutSigned(BoundedText *t, int64_t value);
// Lower-case hexadecimal digits, no leading zeros.
void PutHex(BoundedText *t, uint64_t value);

// Digits of a number into out (at least 21 bytes, NUL-terminated), for a
// template's "%s"; returns out.
char *UnsignedText(char *out, uint64_t value);
char *SignedText(char *out, int64_t value);

// The template with each "%s" replaced by the next text, in order, and
// "%%" written as '%'; every other byte as it stands. A "%s" beyond the
// texts given is left out.
void PutFilledList(BoundedText *t, const char *format,
                   const char *const *texts, size_t count);
template <typename... Texts>
void PutFilled(BoundedText *t, const char *format, const Texts *...texts) {
  const char *list[] = {texts..., nullptr};
  PutFilledList(t, format, list, sizeof...(texts));
}
