#include "request_parser.h"

#include <cstring>

#include "encodings.h"
#include "http_server.h"
#include "string_helpers.h"

namespace {

const char kBadRequestLine[] = "Unable to parse non-valid request line.";
const char kLineTooLong[] =
    "Request line too long for the server to handle.";
const char kHeadTooLarge[] =
    "Request header fields too large for the server to handle.";
const char kBadVersion[] = "The requested HTTP version is not supported.";
const char kBadField[] = "Unable to parse non-valid header field.";
const char kBadLength[] = "Content-length field not valid.";
const char kNoHost[] = "An HTTP/1.1 request must carry one Host field.";
const char kBadTransfer[] = "Transfer-Encoding field not valid.";
const char kChunkedBody[] = "A chunked request body is not accepted.";
const char kHostTooLong[] = "Host field too long for the server to handle.";
const size_t kAuthTextMost = 260;
const char kAuthTooLong[] =
    "Authorization field too long for the server to handle.";
const char kAuthChars[] = "Authorization field contains non-valid characters.";
const char kAuthInvalid[] = "Authorization field not valid.";

const char kBase64[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

// The fields any part of the server reads, found in one pass over the head;
// each is where the text first appears, letter case aside (see
// FindLineStarts).
enum Field {
  kHost, kRange, kAuth, kIfNoneMatch, kIfModifiedSince,
  kIfRange, kConnection, kReferer, kAgent, kAcceptEncoding, kFieldCount
};
const char *const kFieldNames[kFieldCount] = {
    "\nHost: ", "\nRange: bytes=",
    "\nAuthorization: Basic ", "\nIf-None-Match: ", "\nIf-Modified-Since: ",
    "\nIf-Range: ", "\nConnection:", "\nReferer: ",
    "\nUser-Agent: ", "\nAccept-Encoding:"};

// Room for each value, its end included: a longer Host is refused, a
// longer validator or Range treated as absent or refused, a longer log
// field cut, a longer Connection value read only as far as this.
const size_t kHostRoom = 128;
const size_t kRangeRoom = 64;
const size_t kIfNoneMatchRoom = 512;
const size_t kIfModifiedSinceRoom = 64;
const size_t kIfRangeRoom = 128;
const size_t kConnectionRoom = 64;
const size_t kAcceptEncodingRoom = 256;
const size_t kLineRoom = 1024;
const size_t kLogFieldRoom = 512;

void Refuse(ParsedRequest *r, int status, const char *message) {
  r->status = status;
  r->message = message;
}

// The value of the field found at `at` (null: missing), ended in place at
// its line end (CR, or LF alone); null when missing, or when its line end
// is not within `room` bytes (its end included) of the received text.
char *FieldValue(char *at, Field field, size_t room) {
  if (!at) return nullptr;
  at += strlen(kFieldNames[field]);
  size_t avail = strnlen(at, room - 1);
  size_t n = strcspn(at, "\r\n");
  if (n >= avail) return nullptr;
  at[n] = '\0';
  return at;
}

// Bytes of the value at `at` (null: missing, 0) up to its line end, at
// most room - 1.
uint16_t LogFieldLength(const char *at, Field field, const char **value) {
  if (!at) return 0;
  *value = at + strlen(kFieldNames[field]);
  size_t n = strcspn(*value, "\r\n");
  return (uint16_t)(n >= kLogFieldRoom ? kLogFieldRoom - 1 : n);
}

bool IsBlank(char ch) { return ch == ' ' || ch == '\t'; }

bool SameFolded(const char *text, size_t length, const char *lower) {
  size_t k = 0;
  for (; k < length && lower[k]; k++) {
    char ch = text[k];
    if ((ch >= 'A' && ch <= 'Z' ? (char)(ch + 32) : ch) != lower[k]) return false;
  }
  return k == length && lower[k] == '\0';
}

// The methods told apart; a method is case-sensitive, so "get" is one the
// server does not know.
Method KindOf(const char *method, size_t length) {
  struct Known { const char *name; Method kind; };
  static const Known kKnown[] = {
      {"GET", Method::kGet},          {"HEAD", Method::kHead},
      {"OPTIONS", Method::kOptions},  {"POST", Method::kNotAllowed},
      {"PUT", Method::kNotAllowed},   {"DELETE", Method::kNotAllowed},
      {"PATCH", Method::kNotAllowed}};
  for (const Known &k : kKnown)
    if (strlen(k.name) == length && memcmp(k.name, method, length) == 0) return k.kind;
  return Method::kOther;
}

// An absolute-form target ("http://host/path") names its host itself: the
// host is kept as the request's Host value and the target becomes the path.
void ReadAbsoluteForm(ParsedRequest *r, bool hosts) {
  const char *t = r->target;
  size_t scheme = SameFolded(t, 7, "http://") ? 7 : SameFolded(t, 8, "https://") ? 8 : 0;
  if (scheme == 0) return;
  const char *authority = t + scheme;
  size_t n = strcspn(authority, "/? \r\n");
  if (hosts && n < sizeof r->authority) {
    memcpy(r->authority, authority, n);
    r->authority[n] = '\0';
    r->host = r->authority;
  }
  // Without a path of its own the target is the root.
  r->target = authority[n] == '/' ? authority + n : "/ ";
}

// Method, target and version, each after exactly one blank. 0, or the
// refusal's status.
int ParseRequestLine(ParsedRequest *r, const char *head, size_t line) {
  const char *end = head + line;
  const char *blank = (const char *)memchr(head, ' ', line);
  size_t methodLength = blank ? (size_t)(blank - head) : line;
  // The log shows the method as far as the record holds it.
  size_t kept = methodLength < sizeof r->method ? methodLength : sizeof r->method - 1;
  memcpy(r->method, head, kept);
  r->method[kept] = '\0';
  if (!blank || blank == head) return 400;
  r->methodKind = KindOf(head, methodLength);
  const char *target = blank + 1;
  const char *second = (const char *)memchr(target, ' ', (size_t)(end - target));
  if (!second || second == target) return 400;
  const char *version = second + 1;
  if (end - version != 8 || memcmp(version, "HTTP/", 5) != 0 || version[6] != '.' ||
      version[5] < '0' || version[5] > '9' || version[7] < '0' || version[7] > '9')
    return 400;
  r->target = target;
  if (version[5] != '1') return 505;
  r->http10 = version[7] == '0';
  r->http11 = !r->http10;
  return 0;
}

// What the Connection field says: a request asks to keep the connection
// with HTTP/1.1 unless it says "close", with HTTP/1.0 only when it says
// "keep-alive".
void ReadPersistence(ParsedRequest *r, const char *at) {
  if (!at) return;
  at += strlen(kFieldNames[kConnection]);
  char value[kConnectionRoom];
  size_t n = 0;
  for (; at[n] && at[n] != '\r' && at[n] != '\n' && n + 1 < sizeof value; n++) {
    char ch = at[n];
    value[n] = ch >= 'A' && ch <= 'Z' ? (char)(ch + 32) : ch;
  }
  value[n] = '\0';
  r->asksClose = strstr(value, "close") != nullptr;
  r->asksKeepAlive = strstr(value, "keep-alive") != nullptr;
}

// Every field line of the head, for the framing a proxy in front and this
// server must read alike: a name with a blank before its colon, a folded
// line, a repeated or non-numeric Content-Length and any Transfer-Encoding
// are refused, since a reader that took them otherwise would see another
// request where this one ends. Counts the Host fields.
void CheckFieldLines(ParsedRequest *r, const char *head, int *hostFields) {
  const char *p = strchr(head, '\n');
  int lengths = 0;
  while (p && p[1] != '\0' && p[1] != '\r' && p[1] != '\n') {
    const char *name = p + 1;
    size_t lineLength = strcspn(name, "\r\n");
    p = name[lineLength] ? strchr(name + lineLength, '\n') : nullptr;
    if (IsBlank(name[0])) return Refuse(r, 400, kBadField);
    const char *colon = (const char *)memchr(name, ':', lineLength);
    if (!colon) return Refuse(r, 400, kBadField);
    size_t nameLength = (size_t)(colon - name);
    for (size_t k = 0; k < nameLength; k++)
      if (IsBlank(name[k])) return Refuse(r, 400, kBadField);
    const char *value = colon + 1, *end = name + lineLength;
    while (value < end && IsBlank(*value)) value++;
    while (end > value && IsBlank(end[-1])) end--;
    switch (nameLength) {
      case 4:
        if (SameFolded(name, 4, "host")) ++*hostFields;
        break;
      case 14:
        if (!SameFolded(name, 14, "content-length")) break;
        if (++lengths > 1 || value == end || end - value > 18)
          return Refuse(r, 400, kBadLength);
        r->contentLength = 0;
        for (const char *d = value; d < end; d++) {
          if (*d < '0' || *d > '9') return Refuse(r, 400, kBadLength);
          r->contentLength = r->contentLength * 10 + (*d - '0');
        }
        break;
      case 17:
        if (!SameFolded(name, 17, "transfer-encoding")) break;
        r->hasTransferEncoding = 1;
        if (SameFolded(value, (size_t)(end - value), "chunked"))
          return Refuse(r, 411, kChunkedBody);
        return Refuse(r, 400, kBadTransfer);
    }
  }
}

void ParseRange(ParsedRequest *r, char *at) {
  const char *value = FieldValue(at, kRange, kRangeRoom);
  // A Range that cannot be read is ignored: the whole file answers it.
  if (!value) return;
  // Several ranges are answered with the whole file, as if none was asked
  // for: one body of one type is all the server sends.
  if (strchr(value, ',')) return;
  const char *dash = strchr(value, '-');
  if (!dash || strchr(dash + 1, '-') || strlen(value) < 2 ||
      strspn(value, "-0123456789") != strlen(value))
    return;
  if (value[0] == '-') {
    r->rangeEnd = ParseLong(value);
    r->rangeEndGiven = 1;
  } else {
    r->rangeStart = ParseLong(value);
    r->rangeStartGiven = 1;
    if (dash[1] != '\0') {
      // The last byte position is inclusive; rangeEnd is kept exclusive.
      int64_t last = ParseLong(dash + 1);
      r->rangeEnd = last == INT64_MAX ? INT64_MAX : last + 1;
      r->rangeEndGiven = 1;
    }
  }
}

void ParseAuthorization(ParsedRequest *r, char *at) {
  char *cred = r->credentials;
  const char *value = FieldValue(at, kAuth, sizeof r->credentials);
  // The text is decoded in place: at most 260 characters (195 bytes).
  if (!value || strlen(value) > kAuthTextMost) return Refuse(r, 500, kAuthTooLong);
  memcpy(cred, value, strlen(value) + 1);
  if (DecodeBase64(cred, cred, sizeof r->credentials) != 0) {
    memset(cred, 0, sizeof r->credentials);
    return Refuse(r, 400, kAuthChars);
  }
  char *colon = strchr(cred, ':');
  if (!colon) {
    memset(cred, 0, sizeof r->credentials);
    return Refuse(r, 400, kAuthInvalid);
  }
  *colon = '\0';
  r->passwordOffset = (int32_t)(colon + 1 - cred);
}

}  // namespace

int DecodeBase64(const char *in, char *out, size_t outSize) {
  size_t len = strlen(in);
  if (strspn(in, kBase64) != len) return -1;
  // Three bytes for every group of up to four characters, and the NUL.
  if ((len + 3) / 4 * 3 + 1 > outSize) return -1;
  size_t o = 0;
  for (size_t i = 0; i < len; i += 4) {
    unsigned v[4];
    for (size_t k = 0; k < 4; k++) {
      v[k] = i + k < len ? (unsigned)(strchr(kBase64, in[i + k]) - kBase64) : 64;
      if (k > 0 && v[k] == 64) v[k] = 0;
    }
    // The group is read whole before its bytes are written, so decoding in
    // place never overwrites characters still to be read.
    out[o++] = (char)(((v[0] << 2) | (v[1] >> 4)) & 0xff);
    out[o++] = (char)(((v[1] << 4) | (v[2] >> 2)) & 0xff);
    out[o++] = (char)(((v[2] << 6) | v[3]) & 0xff);
  }
  out[o] = '\0';
  return 0;
}

size_t HeadLength(const char *buffer, size_t length) {
  // A NUL byte ends the text: a head is only what comes before it.
  size_t text = strnlen(buffer, length);
  const char *end = buffer + text;
  for (const char *p = (const char *)memchr(buffer, '\n', text); p;
       p = (const char *)memchr(p + 1, '\n', (size_t)(end - p - 1))) {
    size_t i = (size_t)(p - buffer);
    if (i + 1 < text && p[1] == '\n') return i + 2;
    if (i + 2 < text && p[1] == '\r' && p[2] == '\n') return i + 3;
  }
  return 0;
}

bool HeadComplete(const char *buffer, size_t length) {
  if (length >= (size_t)kBufferSize - 1) return true;
  // A NUL byte can never be part of a head the server accepts; waiting for
  // more would only leave the client to the idle time-out.
  if (strnlen(buffer, length) < length) return true;
  return HeadLength(buffer, length) > 0;
}

void ParseRequest(ParsedRequest *r, char *head, bool hosts) {
  size_t received = (size_t)r->received;
  char *found[kFieldCount];
  FindLineStarts(head, kFieldNames, kFieldCount, (const char **)found);
  // What the connection and the log need is read whatever the verdict.
  ReadPersistence(r, found[kConnection]);
  r->line = head;
  size_t line = strcspn(head, "\r\n");
  r->lineLength = (uint16_t)(line >= kLineRoom ? kLineRoom - 1 : line);
  r->refererLength = LogFieldLength(found[kReferer], kReferer, &r->referer);
  r->agentLength = LogFieldLength(found[kAgent], kAgent, &r->agent);

  if (strnlen(head, received) < received) return Refuse(r, 400, kBadRequestLine);
  // A head that does not fit is refused whole: served cut, a field past the
  // buffer's end would be lost without a word.
  if (r->headLength == 0)
    return head[line] == '\0' ? Refuse(r, 414, kLineTooLong)
                               : Refuse(r, 431, kHeadTooLarge);
  int lineStatus = ParseRequestLine(r, head, line);
  if (lineStatus == 505) return Refuse(r, 505, kBadVersion);
  if (lineStatus != 0) return Refuse(r, 400, kBadRequestLine);
  int hostFields = 0;
  CheckFieldLines(r, head, &hostFields);
  if (r->status) return;
  if (hostFields > 1 || (r->http11 && hostFields == 0)) return Refuse(r, 400, kNoHost);
  if (hosts && found[kHost] && r->host[0] == '\0') {
    r->host = FieldValue(found[kHost], kHost, kHostRoom);
    if (!r->host) {
      r->host = "";
      return Refuse(r, 500, kHostTooLong);
    }
  }
  ReadAbsoluteForm(r, hosts);
  if (found[kRange]) ParseRange(r, found[kRange]);
  if (found[kAuth]) {
    ParseAuthorization(r, found[kAuth]);
    if (r->status) return;
  }
  r->ifNoneMatch = FieldValue(found[kIfNoneMatch], kIfNoneMatch, kIfNoneMatchRoom);
  r->ifModifiedSince =
      FieldValue(found[kIfModifiedSince], kIfModifiedSince, kIfModifiedSinceRoom);
  r->ifRange = FieldValue(found[kIfRange], kIfRange, kIfRangeRoom);
  r->codings = AcceptedCodings(
      FieldValue(found[kAcceptEncoding], kAcceptEncoding, kAcceptEncodingRoom));
}
