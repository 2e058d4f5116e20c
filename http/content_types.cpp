#include "content_types.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct KnownType {
  const char *extension;
  const char *type;
};

// Browsers ignore a stylesheet or module script sent as an unknown type,
// so the common web types are known out of the box. Text is served as
// UTF-8, the encoding the listing pages use too.
const KnownType kKnownTypes[] = {
    {".html", "text/html; charset=utf-8"},
    {".htm", "text/html; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
    {".js", "text/javascript; charset=utf-8"},
    {".mjs", "text/javascript; charset=utf-8"},
    {".json", "application/json"},
    {".map", "application/json"},
    {".webmanifest", "application/manifest+json"},
    {".txt", "text/plain; charset=utf-8"},
    {".text", "text/plain; charset=utf-8"},
    {".md", "text/markdown; charset=utf-8"},
    {".csv", "text/csv; charset=utf-8"},
    {".xml", "text/xml; charset=utf-8"},
    {".svg", "image/svg+xml"},
    {".png", "image/png"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".gif", "image/gif"},
    {".webp", "image/webp"},
    {".avif", "image/avif"},
    {".ico", "image/vnd.microsoft.icon"},
    {".bmp", "image/bmp"},
    {".pdf", "application/pdf"},
    {".zip", "application/zip"},
    {".gz", "application/gzip"},
    {".tgz", "application/gzip"},
    {".tar", "application/x-tar"},
    {".bz2", "application/x-bzip2"},
    {".xz", "application/x-xz"},
    {".7z", "application/x-7z-compressed"},
    {".mp3", "audio/mpeg"},
    {".ogg", "audio/ogg"},
    {".oga", "audio/ogg"},
    {".wav", "audio/wav"},
    {".flac", "audio/flac"},
    {".m4a", "audio/mp4"},
    {".opus", "audio/ogg"},
    {".mp4", "video/mp4"},
    {".mov", "video/quicktime"},
    {".mkv", "video/x-matroska"},
    {".vtt", "text/vtt; charset=utf-8"},
    {".m3u8", "application/vnd.apple.mpegurl"},
    {".mpd", "application/dash+xml"},
    {".m4v", "video/mp4"},
    {".webm", "video/webm"},
    {".ogv", "video/ogg"},
    {".wasm", "application/wasm"},
    {".woff", "font/woff"},
    {".woff2", "font/woff2"},
    {".ttf", "font/ttf"},
    {".otf", "font/otf"},
};

// Extensions of a mime.types file are at most this long; longer ones are
// left out (no request could name them through the lookup below).
const size_t kExtensionRoom = 16;

int CompareEntries(const void *a, const void *b) {
  return strcmp(((const SystemTypes::Entry *)a)->extension,
                ((const SystemTypes::Entry *)b)->extension);
}

bool IsSpace(char ch) { return ch == ' ' || ch == '\t' || ch == '\r'; }

}  // namespace

int LoadSystemTypes(SystemTypes *t, const char *path) {
  FreeSystemTypes(t);
  FILE *in = fopen(path, "re");
  if (!in) return 0;
  size_t size = 0, room = 0;
  char *text = nullptr;
  for (;;) {
    if (size + 4096 + 1 > room) {
      room = room ? room * 2 : 65536;
      char *more = (char *)realloc(text, room);
      if (!more) {
        free(text);
        fclose(in);
        return -1;
      }
      text = more;
    }
    size_t n = fread(text + size, 1, room - size - 1, in);
    if (n == 0) break;
    size += n;
  }
  fclose(in);
  if (!text) return 0;
  text[size] = '\0';
  // At most one entry per two bytes of text: room for all of them at once.
  SystemTypes::Entry *entries = (SystemTypes::Entry *)malloc((size / 2 + 1) * sizeof *entries);
  if (!entries) {
    free(text);
    return -1;
  }
  size_t count = 0;
  for (char *line = text; *line;) {
    char *end = line + strcspn(line, "\n");
    char *next = *end ? end + 1 : end;
    *end = '\0';
    char *hash = strchr(line, '#');
    if (hash) *hash = '\0';
    char *p = line;
    const char *type = nullptr;
    while (*p) {
      while (IsSpace(*p)) p++;
      if (!*p) break;
      char *token = p;
      while (*p && !IsSpace(*p)) p++;
      if (*p) *p++ = '\0';
      if (!type) {
        type = token;
        continue;
      }
      if (strlen(token) >= kExtensionRoom) continue;
      for (char *k = token; *k; k++)
        if (*k >= 'A' && *k <= 'Z') *k = (char)(*k + 32);
      entries[count++] = {token, type};
    }
    line = next;
  }
  qsort(entries, count, sizeof *entries, CompareEntries);
  // Where the built-in table names the same type, its text goes out: it
  // adds the charset the system's list leaves out.
  for (size_t i = 0; i < count; i++) {
    char dotted[kExtensionRoom + 1] = ".";
    strcpy(dotted + 1, entries[i].extension);
    const char *builtIn = BuiltInType(dotted);
    size_t n = strlen(entries[i].type);
    if (builtIn && strncasecmp(builtIn, entries[i].type, n) == 0 &&
        (builtIn[n] == '\0' || builtIn[n] == ';'))
      entries[i].type = builtIn;
  }
  t->text = text;
  t->entries = entries;
  t->count = count;
  return 0;
}

void FreeSystemTypes(SystemTypes *t) {
  free(t->entries);
  free(t->text);
  *t = SystemTypes{};
}

const char *SystemType(const SystemTypes *t, const char *extension) {
  if (t->count == 0 || extension[0] != '.') return nullptr;
  char key[kExtensionRoom];
  size_t n = 0;
  for (const char *p = extension + 1; *p; p++) {
    if (n + 1 >= sizeof key) return nullptr;
    key[n++] = *p >= 'A' && *p <= 'Z' ? (char)(*p + 32) : *p;
  }
  key[n] = '\0';
  SystemTypes::Entry probe = {key, nullptr};
  const SystemTypes::Entry *found = (const SystemTypes::Entry *)bsearch(
      &probe, t->entries, t->count, sizeof *t->entries, CompareEntries);
  return found ? found->type : nullptr;
}

const char *BuiltInType(const char *extension) {
  // The table's extensions are lower case: the letter after the dot rules
  // out nearly every entry before a whole comparison.
  char ch = extension[0] == '.' ? extension[1] : '\0';
  if (ch >= 'A' && ch <= 'Z') ch = (char)(ch + 32);
  for (const KnownType &known : kKnownTypes)
    if (known.extension[1] == ch && strcasecmp(known.extension, extension) == 0)
      return known.type;
  return nullptr;
}
