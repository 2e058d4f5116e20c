// Lines of a file read through one fixed block, so that any file, however
// long its lines or however many NUL bytes it holds, is read in bounded
// memory.
#pragma once
#include <cstddef>
#include <cstdio>

enum { LineBlockSize = 65536, MaxLineLength = 4096 };

struct LineReader {
  FILE *file = nullptr;
  char block[LineBlockSize];
  size_t start = 0, end = 0;
  bool atEnd = false;
  bool skipping = false;  // dropping the rest of a line that was too long
};

struct Line {
  const char *text;  // valid until the next call; not NUL-terminated
  size_t len;        // without the line feed
  bool cut;          // longer than MaxLineLength: text holds its start
  bool complete;     // ended by a line feed (the last line may not be)
};

void StartLines(LineReader *r, FILE *file);
// 1 with the next line, 0 at the end of the file (or on a read error, which
// ferror on the file tells).
int NextLine(LineReader *r, Line *line);
