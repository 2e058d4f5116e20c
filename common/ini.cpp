#include "ini.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

int OpenIni(Ini *ini, const char *path) {
  ini->count = 0;
  ini->text = nullptr;
  ini->size = 0;
  FILE *f = fopen(path, "rb");
  if (!f) return -1;
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
      st.st_size >= 0x7fffffff) {
    fclose(f);
    return -1;
  }
  size_t length = (size_t)st.st_size;
  ini->text = (char *)malloc(length + 1);
  if (!ini->text) {
    fclose(f);
    return -1;
  }
  if (fread(ini->text, 1, length, f) != length) {
    fclose(f);
    return -1;
  }
  ini->text[length] = '\0';
  ini->size = (uint32_t)(length + 1);
  fclose(f);

  char *t = ini->text;
  for (size_t j = 0; t[j] != '\0'; j++) {
    if (t[j] != '\n' && t[j] != '\r') continue;
    // A line end: cut here. CR LF counts as one end.
    if (t[j] == '\r' && j + 1 < length && t[j + 1] == '\n') {
      t[j] = '\0';
      j++;
    }
    t[j] = '\0';
    if (j + 1 >= length) return 0;
    char first = t[j + 1];
    if (first == ';' || first == '\0') continue;
    if (ini->count == 256) {
      fputs("Table size exceeded.\n", stderr);
      return -1;
    }
    ini->lines[ini->count++] = (uint32_t)(j + 1);
  }
  return 0;
}

int IniNext(const Ini *ini, uint32_t *at, const char *key, char *value,
            size_t size) {
  size_t keyLen = strlen(key);
  while (ini->text && *at < ini->count && size > 0) {
    const char *line = ini->text + ini->lines[*at];
    (*at)++;
    if (strncmp(line, key, keyLen) != 0) continue;
    // Values of size-1 characters or more do not count: the copy must have
    // carried the NUL within size-1 bytes.
    if (memccpy(value, line + keyLen, '\0', size - 1) != nullptr) return 0;
  }
  return -1;
}

int IniFind(const Ini *ini, const char *key, char *value, size_t size) {
  uint32_t at = 0;
  return IniNext(ini, &at, key, value, size);
}

int ReadIni(const Ini *ini, char *value, size_t size, const char *key) {
  if (IniFind(ini, key, value, size) == 0) return 0;
  fprintf(stderr, "The line '%s' is missing.\n", key);
  return -1;
}

int CloseIni(Ini *ini) {
  free(ini->text);
  ini->text = nullptr;
  return 0;
}
