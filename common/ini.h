// Reader of key=value text files: the server configurations and the FTP
// account files. The whole file is loaded once and cut into lines in place.
#pragma once
#include <cstddef>
#include <cstdint>

struct Ini {
  char *text = nullptr;   // whole file + NUL; owned, freed by CloseIni
  uint32_t size = 0;      // file length + 1
  uint32_t lines[256];    // offsets of the indexed lines, file order
  uint32_t count = 0;     // entries used in lines
  uint32_t cursor = 0;    // where the next lookup continues
  char mode = '1';        // '1' single lookup, '0' iteration
};

// 0 when the file was loaded and indexed, -1 otherwise (prints
// "Table size exceeded.\n" for more than 256 indexable lines).
int OpenIni(Ini *ini, const char *path);
// Copies the value of the next line starting with `key` (which includes its
// '='). 0 on success, -1 when none fits; in single mode prints the
// missing-line message.
int ReadIni(Ini *ini, char *value, size_t size, const char *key);
// Cursor back to the first line and mode flipped; returns the new mode.
char IniRewind(Ini *ini);
int CloseIni(Ini *ini);

// The two idioms of the callers, written once.
void IniIterate(Ini *ini);  // iteration mode, cursor at the first line
void IniSingle(Ini *ini);   // single-lookup mode
