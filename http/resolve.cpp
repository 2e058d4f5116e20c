#include "resolve.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "forbidden_names.h"
#include "http_server.h"
#include "inside_root.h"
#include "listing_page.h"
#include "request_parser.h"
#include "response.h"
#include "string_helpers.h"

namespace {

const char kRootTooLong[] =
    "Unable to copy webroot path into filename buffer. Filename buffer is too "
    "small or webroot path corrupt. Check configuration!";
const char kUrlTooLong[] =
    "The requested URL was too long for the server to handle (filename buffer "
    "is too small).";
const char kNoVirtual[] = "No virtual directory was found. Check configuration!";
const char kBlockedFile[] = "The requested filename is blocked.";
const char kBlockedHost[] = "The requested host is blocked.";
const char kAuthRequired[] = "Authentication is required for access.";
const char kNotImplemented[] = "The requested HTTP method is not implemented.";
const char kNoReadPermission[] = "Server process does not have read permission.";
const char kIndexUnopenable[] = "File could not be opened.";
const char kNotFound[] =
    "Requested file was not found. Try using UTF-7 encoding for URLs.";

// The root and the path share fileName: the root part with its terminator
// takes at most 496 bytes and the path the rest, below 512 in all.
const size_t kRootRoom = 496;
const size_t kPathLimit = 512;

int Refuse(Connection *c, int status, const char *message) {
  c->status = status;
  SetErrorBody(c, message);
  return status;
}

int RefuseAccess(Connection *c, int access, const char *blocked) {
  return Refuse(c, access, access == 403 ? blocked : kAuthRequired);
}

bool IsSeparator(char ch) { return ch == '/' || ch == '\\'; }

// Both look beneath the request's root: a link leading out of it makes a
// name that is not there.
bool Exists(const Connection *c, const char *path) {
  return StatInRoot(c, path) != kMissing;
}
bool Readable(const Connection *c, const char *path) {
  return ReadableInRoot(c, path);
}

// A path without trailing separator that is no readable regular file is
// tried again as a directory.
int Redirect(Connection *c) {
  size_t n = strlen(c->fileName);
  c->fileName[n] = '/';
  c->fileName[n + 1] = '\0';
  c->status = 301;
  SetErrorBody(c, c->urlPath);
  return 301;
}

int ServeFile(Connection *c) {
  // The common case first: a file that opens for reading exists, is
  // readable and is a regular file, which the looks below would only ask
  // again, one system call each.
  if (OpenIfReadableFile(c) == 1) {
    if (!Exists(c, c->fileName)) return Redirect(c);
    if (!Readable(c, c->fileName)) return Refuse(c, 403, kNoReadPermission);
    OpenRequestedFile(c);
  }
  if (c->status == 500) return Redirect(c);
  return c->status;
}

int ServeDirectory(Connection *c) {
  HttpServer *s = c->server;
  size_t base = strlen(c->fileName);
  for (const ListItem *index = s->indexes; index; index = index->next) {
    if (index->length + base + 1 >= kPathLimit) continue;
    memcpy(c->fileName + base, index->text, index->length + 1);
    if (Exists(c, c->fileName) && Readable(c, c->fileName)) {
      // The index file is what gets sent, so it answers to the same
      // forbidden names as a request naming it directly.
      int access = CheckPathAccess(c);
      if (access != 200) return RefuseAccess(c, access, kBlockedFile);
      if (OpenRequestedFile(c) != 0) return Refuse(c, 500, kIndexUnopenable);
      c->bodyLength = 0;
      return c->status;
    }
    c->fileName[base] = '\0';
  }
  if (s->directoryListing != '0') return OpenListing(c);
  return Refuse(c, 404, kNotFound);
}

}  // namespace

int DecodeURL(char *text) {
  static const char hex[] = "0123456789ABCDEF";
  for (int code = 0; code < 255; code++) {
    // Written as "%%%2X": below 16 the pattern is '%', blank, digit, which a
    // path (cut at its first blank) never holds.
    const char hi = code < 16 ? ' ' : hex[code >> 4], lo = hex[code & 15];
    char *p = strchr(text, '%');
    if (!p) return 0;
    char *out = p;
    while (*p) {
      if (p[0] == '%' && p[1] == hi && p[2] == lo) {
        *out++ = (char)code;
        p += 3;
      } else {
        *out++ = *p++;
      }
    }
    *out = '\0';
  }
  return 0;
}

int ResolveRequest(Connection *c, const char *path) {
  HttpServer *s = c->server;
  const char *host = RequestHost();
  bool hostMode =
      s->defaultHost && host[0] != '\0' && strcmp(host, s->defaultHost) != 0;
  const char *key = hostMode ? host : path;
  const ListItem *item = hostMode ? s->hosts : s->virtuals;
  while (item && strncmp(key, item->text, item->length) != 0) item = item->next;
  if (!item) return Refuse(c, 500, kNoVirtual);

  c->root = SecondField(item);
  c->hostMode = hostMode ? '1' : '0';
  c->virtualItem = hostMode ? nullptr : item;
  size_t rootLength = strlen(c->root);
  if (rootLength + 1 > kRootRoom) {
    c->fileName[0] = '\0';
    return Refuse(c, 500, kRootTooLong);
  }
  memcpy(c->fileName, c->root, rootLength + 1);
  c->urlPath = c->fileName + rootLength;
  c->urlPath[0] = '/';
  c->urlPath[1] = '\0';

  const char *rest = hostMode ? (path[0] ? path + 1 : path) : path + item->length;
  // The blank after the path ends it in the request line; it counts
  // against the room left for the path.
  size_t room = kRootRoom - rootLength;
  const char *blank = (const char *)memchr(rest, ' ', strnlen(rest, room));
  if (!blank) return Refuse(c, 414, kUrlTooLong);
  memcpy(c->urlPath + 1, rest, (size_t)(blank - rest));
  c->urlPath[1 + (blank - rest)] = '\0';

  DecodeURL(c->urlPath);
  NormalisePath(c->urlPath);
  int access = CheckPathAccess(c);
  if (access != 200) return RefuseAccess(c, access, kBlockedFile);
  access = CheckAccess(c, host);
  if (access != 200) return RefuseAccess(c, access, kBlockedHost);
  if (strcmp(c->method, "GET") != 0 && strcmp(c->method, "HEAD") != 0)
    return Refuse(c, 501, kNotImplemented);

  size_t n = strlen(c->fileName);
  if (!IsSeparator(c->fileName[n - 1])) return ServeFile(c);
  return ServeDirectory(c);
}
