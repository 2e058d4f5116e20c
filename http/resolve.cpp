#include "resolve.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bounded_text.h"
#include "byte_range.h"
#include "conditional.h"
#include "encodings.h"
#include "forbidden_names.h"
#include "http_server.h"
#include "inside_root.h"
#include "kept_files.h"
#include "listing_page.h"
#include "status_text.h"
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
const char kNotAllowed[] = "The requested HTTP method is not allowed here.";
const char kNoReadPermission[] = "Server process does not have read permission.";
const char kIndexUnopenable[] = "File could not be opened.";
const char kNotFound[] =
    "Requested file was not found. Try using UTF-7 encoding for URLs.";
const char kNoFileInfo[] = "Could not get file information.";
const char kCannotOpen[] = "File could not be opened.";
const char kSeekFailed[] = "File seek failed.";
const char kUnknownStatus[] = "Unknown status code. Status code set to 500.";
const char kErrPathFailed[] = "Could not copy error page filename inte buffer.";
const char kNoCustomPage[] = "Could not open custom error page.";
const char kErrorPagePath[] = "%s/err/err%d.htm";
// Built-in bodies are plain text; custom error pages are .htm files,
// whatever was asked for.
const char kTextExtension[] = ".txt";
const char kPageExtension[] = ".htm";

// The root and the path share fileName. The path beneath the root takes at
// most kPathRoom bytes, so its text fits every page and header; the two
// together stay below kJoinedMost, which leaves room for an index name or
// a directory's '/' within what the system takes as a path.
const size_t kPathRoom = 480;
const size_t kJoinedMost = PATH_MAX - 32;

int Refuse(Connection *c, int status, const char *message) {
  c->decision.status = status;
  c->decision.message = message;
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

char ToLower(char ch) { return ch >= 'A' && ch <= 'Z' ? (char)(ch + 32) : ch; }

int HexValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  return -1;
}

// Bytes that cannot stand in a URL are written as %XX. In the path so is
// '%' itself, since the path was decoded and must read the same once
// decoded again; the query was never decoded and keeps its escapes.
bool UnsafeInQuery(unsigned char ch) {
  return ch <= 0x20 || ch >= 0x7f || ch == '#' || ch == '"' || ch == '<' || ch == '>';
}

bool UnsafeInPath(unsigned char ch) { return ch == '%' || UnsafeInQuery(ch); }

size_t EncodeForUrl(char *dst, size_t size, const char *src, size_t length,
                    bool keepPercent) {
  return PercentEscape(dst, size, src, length, keepPercent ? UnsafeInQuery : UnsafeInPath);
}

bool CleanHost(const char *host) {
  if (host[0] == '\0') return false;
  for (const unsigned char *p = (const unsigned char *)host; *p; p++)
    if (*p <= 0x20 || *p == 0x7f) return false;
  return true;
}

// The name part of a Host value: without its ":port" (an IPv6 literal
// keeps its brackets) and trailing blanks.
size_t HostNameLength(const char *host) {
  size_t n = strlen(host);
  while (n > 0 && (host[n - 1] == ' ' || host[n - 1] == '\t')) n--;
  if (host[0] == '[') {
    const char *close = (const char *)memchr(host, ']', n);
    return close ? (size_t)(close - host) + 1 : n;
  }
  const char *colon = (const char *)memchr(host, ':', n);
  return colon ? (size_t)(colon - host) : n;
}

// The AddHost entry the Host value names, compared without port and
// letter case, and whole; null when it names none.
const ListItem *MatchHost(const ListItem *hosts, const char *host) {
  size_t n = HostNameLength(host);
  if (n == 0) return nullptr;
  for (const ListItem *item = hosts; item; item = item->next) {
    if (item->length != n) continue;
    size_t k = 0;
    while (k < n && ToLower(item->text[k]) == ToLower(host[k])) k++;
    if (k == n) return item;
  }
  return nullptr;
}

// The Location value: where the same path with its '/' is found again,
// with the query the client sent.
void BuildLocation(Connection *c, const char *host, const char *query,
                   size_t queryLength) {
  HttpServer *s = c->server;
  // The matched prefix brings the client back through the same virtual
  // directory; a root chosen by the Host value is only reached again under
  // that name.
  char path[32 + kFileNameSize];
  NamedPath(c, path, sizeof path);
  int n;
  char encoded[3 * sizeof path];
  EncodeForUrl(encoded, sizeof encoded, path, strlen(path), false);
  char encodedQuery[kHeaderSize];
  EncodeForUrl(encodedQuery, sizeof encodedQuery, query, queryLength, true);
  // A redirect answered on the encrypted port keeps the client on it.
  const char *scheme = c->secure == '1' ? "https" : "http";
  if (c->decision.hostMode == '1' && CleanHost(host))
    n = snprintf(c->space->location, sizeof c->space->location, "%s://%s%s%s%s", scheme, host,
                 encoded, queryLength ? "?" : "", encodedQuery);
  else
    n = snprintf(c->space->location, sizeof c->space->location, "%s%s%s%s",
                 c->secure == '1' ? s->tlsBaseURL : s->baseURL, encoded,
                 queryLength ? "?" : "", encodedQuery);
  // A value that does not fit is no Location at all; the response then
  // cannot be told and becomes a bare 500.
  if (n < 0 || (size_t)n >= sizeof c->space->location) c->space->location[0] = '\0';
}

// An existing directory asked for without its trailing separator.
int Redirect(Connection *c) {
  size_t n = strlen(c->space->fileName);
  c->space->fileName[n] = '/';
  c->space->fileName[n + 1] = '\0';
  c->decision.status = 301;
  c->decision.message = c->decision.urlPath;
  return 301;
}

void DropFile(Connection *c) {
  ReleaseFile(c);
  c->decision.size = 0;
  c->decision.fileLeft = 0;
  c->decision.etag[0] = '\0';
}

// The opened file's answer: 304 when the client's copy is current, else
// the range decides between the whole file, a part and 416.
int DecideFile(Connection *c, int fd, bool lent, const struct stat &st,
               const ParsedRequest &f) {
  ReleaseFile(c);
  c->decision.file = fd;
  c->decision.fileLent = lent ? '1' : '0';
  c->decision.fileOffset = 0;
  c->decision.size = (uint64_t)st.st_size;
  c->decision.fileSize = (int64_t)st.st_size;
  c->decision.modified = st.st_mtime;
  FormatETag(c->decision.etag, sizeof c->decision.etag, c->decision.size, c->decision.modified);
  // A variant's validator never names the plain file, even at the same
  // size and time: a part of one is no part of the other.
  if (c->decision.coding) {
    size_t n = strlen(c->decision.etag);
    snprintf(c->decision.etag + n - 1, sizeof c->decision.etag - (n - 1), "-%s\"",
             c->decision.coding);
  }
  if (NotModified(f.ifNoneMatch, f.ifModifiedSince, c->decision.etag, c->decision.modified,
                  time(nullptr))) {
    ReleaseFile(c);
    c->decision.size = 0;
    c->decision.status = 304;
    return 304;
  }
  // A part of another version of the file would corrupt the client's copy:
  // If-Range that does not name this version asks for the whole file.
  if (f.ifRange && !IfRangeHolds(f.ifRange, c->decision.etag, c->decision.modified))
    c->decision.rangeStartGiven = c->decision.rangeEndGiven = 0;
  int status = DecideRange(&c->decision, (int64_t)st.st_size);
  if (status == 416) {
    DropFile(c);
    return 416;
  }
  if (status == 206) {
    // A lent file's position is shared: it is read at its offset instead.
    c->decision.fileOffset = c->decision.rangeStart;
    if (c->decision.fileLent != '1' &&
        lseek(c->decision.file, (off_t)c->decision.rangeStart, SEEK_SET) == (off_t)-1) {
      DropFile(c);
      return Refuse(c, 500, kSeekFailed);
    }
    c->decision.fileLeft = c->decision.rangeEnd - c->decision.rangeStart;
    return 206;
  }
  c->decision.fileLeft = (int64_t)st.st_size;
  return 200;
}

// The compressed variants beside a file, in the order they are preferred:
// br makes the smaller files.
struct Variant {
  uint8_t coding;
  const char *suffix;
  const char *name;  // its Content-Encoding
};
const Variant kVariants[] = {{kCodingBr, ".br", "br"}, {kCodingGzip, ".gz", "gzip"}};

// Hands back a descriptor that will not answer (closed, or given back to
// the kept files).
void PutBack(Connection *c, int fd, bool lent) {
  if (fd < 0) return;
  ReleaseFile(c);
  c->decision.file = fd;
  c->decision.fileLent = lent ? '1' : '0';
  ReleaseFile(c);
}

// Which variants lie beside fileName: regular files, not older than the
// plain file. Times are compared by the second, as Last-Modified tells
// them: a copy or checkout that writes the variant a moment before the
// file must not lose it. The answer is remembered for a moment
// (kept_files.h), so the files asked for most cost no look-up per request.
int VariantsBeside(Connection *c, const struct stat &st) {
  time_t now = time(nullptr);
  int found = RememberedVariants(c, st, now);
  if (found >= 0) return found;
  found = 0;
  size_t n = strlen(c->space->fileName);
  for (const Variant &v : kVariants) {
    memcpy(c->space->fileName + n, v.suffix, 4);
    int64_t mtime = 0;
    if (StatInRoot(c, c->space->fileName, nullptr, &mtime) == kRegular && mtime >= st.st_mtime)
      found |= v.coding;
  }
  c->space->fileName[n] = '\0';
  RememberVariants(c, st, found, now);
  return found;
}

// The plain file opened as fd, or a compressed variant of it in its place
// when the client takes one: opened beneath the root like the file, a
// regular file not older than it. The name the client asked for stays in
// fileName (the log and the content type read it). Whenever a variant lies
// beside the file, the answer depends on Accept-Encoding and says so.
int OfferVariant(Connection *c, const ParsedRequest &f, int fd, bool *lent,
                 struct stat *st) {
  size_t n = strlen(c->space->fileName);
  if (n + 4 > sizeof c->space->fileName) return fd;
  int present = VariantsBeside(c, *st);
  if (present == 0) return fd;
  c->decision.vary = '1';
  for (const Variant &v : kVariants) {
    if (!(present & f.codings & v.coding)) continue;
    memcpy(c->space->fileName + n, v.suffix, 4);
    struct stat vst;
    bool vlent = false;
    int vfd = OpenForAnswer(c, O_RDONLY | O_NONBLOCK | O_CLOEXEC, &vst, &vlent);
    c->space->fileName[n] = '\0';
    if (vfd >= 0 && S_ISREG(vst.st_mode) && vst.st_mtime >= st->st_mtime) {
      PutBack(c, fd, *lent);
      *lent = vlent;
      *st = vst;
      c->decision.coding = v.name;
      return vfd;
    }
    PutBack(c, vfd, vlent);
  }
  return fd;
}

// The file at fileName, or why there is none: 404 for a path that does not
// exist, 403 without read permission, 301 for a directory, 500 for a file
// that exists but cannot be opened.
int ServeFile(Connection *c, const ParsedRequest &f, const char *openFailed) {
  // O_NONBLOCK: a path swapped for a FIFO must never stall the loop.
  // Opened beneath the root: a link that leads out of it is a name that
  // is not there.
  struct stat st;
  bool lent = false;
  int fd = OpenForAnswer(c, O_RDONLY | O_NONBLOCK | O_CLOEXEC, &st, &lent);
  if (fd == kNoFileStatus) return Refuse(c, 500, kNoFileInfo);
  if (fd < 0) {
    int error = errno;
    // A name longer than any the file system holds is not there either.
    if (error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG)
      return Refuse(c, 404, kNotFound);
    if (StatInRoot(c, c->space->fileName) == kDirectory) return Redirect(c);
    if (error == EACCES) return Refuse(c, 403, kNoReadPermission);
    return Refuse(c, 500, openFailed);
  }
  // Kept files are regular files: the descriptors closed here are never
  // lent ones.
  if (S_ISDIR(st.st_mode)) {
    close(fd);
    return Redirect(c);
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    return Refuse(c, 500, kNoFileInfo);
  }
  if (c->server->compressedVariants == '1') fd = OfferVariant(c, f, fd, &lent, &st);
  return DecideFile(c, fd, lent, st, f);
}

int ServeDirectory(Connection *c, const ParsedRequest &f) {
  HttpServer *s = c->server;
  size_t base = strlen(c->space->fileName);
  for (const ListItem *index = s->indexes; index; index = index->next) {
    if (index->length + base + 1 >= PATH_MAX) continue;
    memcpy(c->space->fileName + base, index->text, index->length + 1);
    if (Exists(c, c->space->fileName) && Readable(c, c->space->fileName)) {
      // The index file is what gets sent, so it answers to the same
      // forbidden names as a request naming it directly.
      int access = CheckPathAccess(c);
      if (access != 200) return RefuseAccess(c, access, kBlockedFile);
      int status = ServeFile(c, f, kIndexUnopenable);
      if (status == 200 || status == 206 || status == 304 || status == 416)
        return status;
      DropFile(c);
      return Refuse(c, 500, kIndexUnopenable);
    }
    c->space->fileName[base] = '\0';
  }
  // A directory that is not there is missing, listings or not.
  if (s->directoryListing == '0' || OpenListing(c) == 404)
    return Refuse(c, 404, kNotFound);
  return c->decision.status;
}

}  // namespace

void NamedPath(const Connection *c, char *out, size_t size) {
  const char *path = c->decision.urlPath ? c->decision.urlPath : "";
  BoundedText t = TextIn(out, size);
  if (c->decision.virtualItem && path[0] != '\0') {
    const char *prefix = c->decision.virtualItem->text;
    size_t n = strnlen(prefix, 31);
    // The prefix's own trailing '/' is the path's first character.
    if (n > 0 && prefix[n - 1] == '/')
      n--;
    else if (c->decision.prefixBare == '1')
      path++;
    PutBytes(&t, prefix, n);
  }
  // Cut where it does not fit, as the room allows.
  size_t rest = strlen(path);
  if (t.fits && rest >= t.size - t.length) rest = t.size - t.length - 1;
  PutBytes(&t, path, rest);
}

int DecodeURL(char *text) {
  for (int code = 0; code < 255; code++) {
    // Written as "%%%2X": below 16 the pattern is '%', blank, digit, which a
    // path (cut at its first blank) never holds. Clients write the hex
    // digits in either case; both name the same byte.
    char *p = strchr(text, '%');
    if (!p) return 0;
    if (code < 16) continue;
    char *out = p;
    while (*p) {
      if (p[0] == '%' && HexValue(p[1]) == code >> 4 &&
          HexValue(p[2]) == (code & 15)) {
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

namespace {

// A path that names a virtual prefix without its closing '/' ("/pic" for
// "/pic/") is sent on to the prefix, as a directory is, whatever shorter
// prefix would match it; any other path leaves the decision as it is (0).
int RedirectToPrefix(Connection *c, const char *path, const char *host) {
  size_t pathLength = strcspn(path, " ?");
  if (pathLength == 0) return 0;
  const ListItem *item = c->server->virtuals;
  while (item && !(item->length == pathLength + 1 && item->text[pathLength] == '/' &&
                   strncmp(path, item->text, pathLength) == 0))
    item = item->next;
  if (!item) return 0;
  c->decision.virtualItem = item;
  c->space->fileName[0] = '/';
  c->space->fileName[1] = '\0';
  c->decision.urlPath = c->space->fileName;
  c->decision.status = 301;
  c->decision.message = c->decision.urlPath;
  const char *query = path + pathLength;
  size_t queryLength = 0;
  if (*query == '?') {
    query++;
    queryLength = strcspn(query, " \r\n");
  }
  BuildLocation(c, host, query, queryLength);
  return 301;
}

// Where the request leads: the root, the path beneath it, and the file,
// listing or redirect there, or why there is none.
int DecideTarget(Connection *c, const ParsedRequest &f) {
  HttpServer *s = c->server;
  const char *host = f.host, *path = f.target;
  // What the server does is the same for every path: an OPTIONS request
  // learns it without a file being looked at, and a method the server does
  // not know is refused before any is.
  if (f.methodKind == Method::kOptions) {
    c->decision.allow = '1';
    c->decision.status = 204;
    return 204;
  }
  if (f.methodKind == Method::kOther) {
    c->decision.allow = '1';
    return Refuse(c, 501, kNotImplemented);
  }
  // The Host value picks an AddHost root unless it names the server's own
  // host (the last entry) or no entry at all: then the virtual directories
  // decide, as for a request without Host.
  const ListItem *item = s->defaultHost ? MatchHost(s->hosts, host) : nullptr;
  if (item && item->next == nullptr) item = nullptr;
  bool hostMode = item != nullptr;
  if (!hostMode && RedirectToPrefix(c, path, host) == 301) return 301;
  if (!hostMode) {
    item = s->virtuals;
    while (item && strncmp(path, item->text, item->length) != 0)
      item = item->next;
    if (!item) return Refuse(c, 500, kNoVirtual);
  }

  c->decision.root = SecondField(item);
  c->decision.rootFd = item->rootFd;
  c->decision.hostMode = hostMode ? '1' : '0';
  c->decision.virtualItem = hostMode ? nullptr : item;
  size_t rootLength = strlen(c->decision.root);
  if (rootLength + 2 > kFileNameSize) {
    c->space->fileName[0] = '\0';
    return Refuse(c, 500, kRootTooLong);
  }
  memcpy(c->space->fileName, c->decision.root, rootLength + 1);
  c->decision.urlPath = c->space->fileName + rootLength;
  c->decision.urlPath[0] = '/';
  c->decision.urlPath[1] = '\0';

  const char *rest = hostMode ? (path[0] ? path + 1 : path) : path + item->length;
  // The blank after the target ends it in the request line; '?' ends the
  // path, and the query after it is never looked up. Either end counts
  // against the room left for the path.
  size_t room = rootLength < kJoinedMost ? std::min(kPathRoom, kJoinedMost - rootLength) : 0;
  size_t avail = strnlen(rest, room);
  size_t pathLength = 0;
  while (pathLength < avail && rest[pathLength] != ' ' && rest[pathLength] != '?')
    pathLength++;
  if (pathLength == avail) return Refuse(c, 414, kUrlTooLong);
  const char *query = rest + pathLength;
  size_t queryLength = 0;
  if (*query == '?') {
    query++;
    queryLength = strcspn(query, " \r\n");
  }
  c->decision.prefixBare = !hostMode && rest[0] != '/' ? '1' : '0';
  memcpy(c->decision.urlPath + 1, rest, pathLength);
  c->decision.urlPath[1 + pathLength] = '\0';

  DecodeURL(c->decision.urlPath);
  NormalisePath(c->decision.urlPath);
  int access = CheckPathAccess(c);
  if (access != 200) return RefuseAccess(c, access, kBlockedFile);
  access = CheckAccess(c, host);
  if (access != 200) return RefuseAccess(c, access, kBlockedHost);
  Method method = c->request.methodKind;
  if (method == Method::kNotAllowed) {
    c->decision.allow = '1';
    return Exists(c, c->space->fileName) ? Refuse(c, 405, kNotAllowed)
                                  : Refuse(c, 404, kNotFound);
  }

  size_t n = strlen(c->space->fileName);
  int status = IsSeparator(c->space->fileName[n - 1]) ? ServeDirectory(c, f)
                                               : ServeFile(c, f, kCannotOpen);
  if (status == 301) BuildLocation(c, host, query, queryLength);
  return status;
}

bool BuiltInBodyFits(const Connection *c, const char *message) {
  const HttpServer *s = c->server;
  if (s->extendedMessages == '0') return false;
  const char *text = StatusText(c->decision.status);
  return strlen(message) + strlen(s->serverName) + strlen(text) + 32 <
         sizeof c->space->buffer;
}

// A refusal without its built-in text (bodies off) is answered with the
// custom page err/errNNN.htm of the home directory, sent to its end; when
// that cannot be opened, the refusal becomes 500 itself.
void OpenCustomPage(Connection *c) {
  Decision &d = c->decision;
  char path[sizeof c->server->homeDirectory + 32];
  int n = snprintf(path, sizeof path, kErrorPagePath,
                   c->server->homeDirectory, d.status);
  const char *failed = kNoCustomPage;
  int fd = -1;
  if (n < 0 || (size_t)n >= sizeof path) {
    failed = kErrPathFailed;
  } else {
    // O_NONBLOCK: a path swapped for a FIFO must never stall the loop.
    fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
      close(fd);
      fd = -1;
    }
  }
  if (fd < 0) {
    d.status = 500;
    d.message = failed;
    if (BuiltInBodyFits(c, failed)) {
      d.builtInBody = '1';
      snprintf(d.extension, sizeof d.extension, "%s", kTextExtension);
    }
    return;
  }
  ReleaseFile(c);
  d.file = fd;
  d.fileLeft = -1;  // its length is not announced: sent to its end
  snprintf(d.extension, sizeof d.extension, "%s", kPageExtension);
}

// What the body of a refusal or redirect is: the built-in text, or else the
// custom error page.
void DecideBody(Connection *c) {
  Decision &d = c->decision;
  if (d.status == 200 || d.status == 204 || d.status == 206 || d.status == 304) return;
  if (!StatusText(d.status)) {
    d.status = 500;
    d.message = kUnknownStatus;
  }
  if (d.message && BuiltInBodyFits(c, d.message)) {
    d.builtInBody = '1';
    snprintf(d.extension, sizeof d.extension, "%s", kTextExtension);
    return;
  }
  OpenCustomPage(c);
}

// The AddHeader lines for the request target: those of the longest
// prefix it starts with.
const ListItem *HeadersFor(const ListItem *headers, const char *target) {
  const ListItem *best = nullptr;
  for (const ListItem *h = headers; h; h = h->next)
    if ((!best || h->length > best->length) && strncmp(target, h->text, h->length) == 0)
      best = h;
  return best;
}

}  // namespace

void ResolveRequest(Connection *c, bool mayStay) {
  const ParsedRequest &r = c->request;
  Decision &d = c->decision;
  d.modified = r.startTime;
  d.urlPath = c->space->fileName;
  c->space->fileName[0] = '\0';
  d.rangeStart = r.rangeStart;
  d.rangeEnd = r.rangeEnd;
  d.rangeStartGiven = r.rangeStartGiven;
  d.rangeEndGiven = r.rangeEndGiven;
  d.http11 = r.http11 ? '1' : '0';
  if (r.status != 0)
    Refuse(c, r.status, r.message);
  else
    DecideTarget(c, r);
  DecideBody(c);
  if (d.directory && d.status == 200 && r.http11) d.chunked = '1';
  if (c->server->headers && r.target &&
      ((d.status >= 200 && d.status < 300) || d.status == 304))
    d.headers = HeadersFor(c->server->headers, r.target);
  // The connection stays only when the client can tell where this answer
  // ends: a Content-length is given (a custom page, sent to its end, does
  // not announce one), or no body follows at all. A request line that
  // could not be read, or a body the server does not read, leaves the
  // stream in doubt. An empty file announces its 0 like any other length.
  bool bodyless = d.status == 204 || d.status == 304 || r.methodKind == Method::kHead;
  bool sized = d.builtInBody == '1' || d.size > 0 || (d.status == 200 && d.fileSize == 0);
  bool announced =
      ((d.status == 206 || sized) && d.fileLeft >= 0 && !d.directory) || d.chunked == '1';
  d.keepAlive = mayStay && r.status == 0 && (r.contentLength <= 0 || r.dropsBody) &&
                        !r.hasTransferEncoding && (bodyless || announced)
                    ? '1'
                    : '0';
}
