#include "content_types.h"

#include <strings.h>

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
    {".mp4", "video/mp4"},
    {".m4v", "video/mp4"},
    {".webm", "video/webm"},
    {".ogv", "video/ogg"},
    {".wasm", "application/wasm"},
    {".woff", "font/woff"},
    {".woff2", "font/woff2"},
    {".ttf", "font/ttf"},
    {".otf", "font/otf"},
};

}  // namespace

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
