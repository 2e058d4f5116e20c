#include "line_reader.h"

#include <cstring>

void StartLines(LineReader *r, gzFile file) {
  r->file = file;
  r->failed = false;
  r->start = r->end = 0;
  r->atEnd = false;
  r->skipping = false;
}

// Moves what is held to the front and reads more behind it; false when
// nothing more came.
static bool Fill(LineReader *r) {
  if (r->atEnd) return false;
  if (r->start > 0) {
    memmove(r->block, r->block + r->start, r->end - r->start);
    r->end -= r->start;
    r->start = 0;
  }
  int n = gzread(r->file, r->block + r->end, (unsigned)(sizeof r->block - r->end));
  if (n < 0) r->failed = true;
  if (n <= 0) {
    r->atEnd = true;
    return false;
  }
  r->end += (size_t)n;
  return true;
}

int NextLine(LineReader *r, Line *line) {
  while (r->skipping) {
    const char *lf = (const char *)memchr(r->block + r->start, '\n', r->end - r->start);
    if (lf) {
      r->start = (size_t)(lf - r->block) + 1;
      r->skipping = false;
    } else {
      r->start = r->end;
      if (!Fill(r)) return 0;
    }
  }
  for (;;) {
    const char *from = r->block + r->start;
    size_t held = r->end - r->start;
    const char *lf = (const char *)memchr(from, '\n', held < MaxLineLength + 1 ? held : MaxLineLength + 1);
    if (lf) {
      *line = {from, (size_t)(lf - from), false, true};
      r->start += line->len + 1;
      return 1;
    }
    if (held > MaxLineLength) {
      *line = {from, MaxLineLength, true, true};
      r->start += MaxLineLength;
      r->skipping = true;
      return 1;
    }
    if (!Fill(r)) {
      if (held == 0) return 0;
      *line = {from, held, false, false};
      r->start = r->end;
      return 1;
    }
  }
}
