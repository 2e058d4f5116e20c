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
};

// 0 when the file was loaded and indexed, -1 otherwise (prints
// "Table size exceeded.\n" for more than 256 indexable lines).
int OpenIni(Ini *ini, const char *path);
// Copies the value of the first line starting with `key` (which includes
// its '='). A value of size-1 characters or more does not fit and the
// search goes on below it. 0 on success, -1 when none fits.
// An optional key: nothing is said when it is absent.
int IniFind(const Ini *ini, const char *key, char *value, size_t size);
// A key the server expects: when none fits, "The line '<key>' is
// missing.\n" is printed before the caller's own default or fault.
int ReadIni(const Ini *ini, char *value, size_t size, const char *key);
// Walks the lines of a repeated key (AddVirtual=, AddCommand=...) in file
// order: *at starts at 0 and is moved past each line returned. 0 for the
// next value, -1 (silently) at the end.
int IniNext(const Ini *ini, uint32_t *at, const char *key, char *value,
            size_t size);
int CloseIni(Ini *ini);
