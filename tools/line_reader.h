// Lines of a file read through one fixed block, so that any file, however
// long its lines or however many NUL bytes it holds, is read in bounded
// memory. Files are read through zlib, which passes plain files through
// as they are and inflates gzip-compressed ones (rotated logs).
#pragma once
#include <cstddef>
#include <cstdio>
#include <zlib.h>

enum { LineBlockSize = 65536, MaxLineLength = 4096 };

struct LineReader {
  gzFile file = nullptr;
  char block[LineBlockSize];
  size_t start = 0, end = 0;
  bool atEnd = false;
  bool skipping = false;  // dropping the rest of a line that was too long
  bool failed = false;    // the file could not be read (or inflated) to its end
};

struct Line {
  const char *text;  // valid until the next call; not NUL-terminated
  size_t len;        // without the line feed
  bool cut;          // longer than MaxLineLength: text holds its start
  bool complete;     // ended by a line feed (the last line may not be)
};

void StartLines(LineReader *r, gzFile file);
// 1 with the next line, 0 at the end of the file or on a read error (then
// `failed` is set).
int NextLine(LineReader *r, Line *line);
