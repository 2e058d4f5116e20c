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
const char kBodyTooLarge[] = "Request body too large for the server to handle.";
// A body sent with GET or HEAD is read and dropped up to this many bytes.
const int64_t kDroppedBodyMost = 64 * 1024;
const char kHostTooLong[] = "Host field too long for the server to handle.";
const size_t kAuthTextMost = 260;
const char kAuthTooLong[] =
    "Authorization field too long for the server to handle.";
const char kAuthChars[] = "Authorization field contains non-valid characters.";
const char kAuthInvalid[] = "Authorization field not valid.";

const char kBase64[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

// The fields any part of the server reads, found in the one pass over the
// head's lines (ScanFieldLines); each is its first appearance, letter case
// aside, as `at` (the value after the colon and its blanks) and `length`
// (up to the line end, blanks before it aside).
enum Field {
  kHost, kRange, kAuth, kIfNoneMatch, kIfModifiedSince,
  kIfRange, kConnection, kReferer, kAgent, kAcceptEncoding, kFieldCount
};
struct FieldText {
  char *at;
  size_t length;
};
// Each name with its length: most lines are told apart by their length and
// first letter alone.
struct KnownField {
  const char *lower;
  size_t length;
  Field field;
};
const KnownField kKnownFields[] = {
    {"host", 4, kHost},
    {"range", 5, kRange},
    {"referer", 7, kReferer},
    {"if-range", 8, kIfRange},
    {"connection", 10, kConnection},
    {"user-agent", 10, kAgent},
    {"authorization", 13, kAuth},
    {"if-none-match", 13, kIfNoneMatch},
    {"accept-encoding", 15, kAcceptEncoding},
    {"if-modified-since", 17, kIfModifiedSince}};
// What a Range or Authorization value must start with to be read.
const char kRangeUnit[] = "bytes=";
const char kBasicScheme[] = "basic ";

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

// The value of a field (null: missing), ended in place; null as well when
// it is room - 1 bytes or longer.
char *FieldValue(const FieldText &f, size_t room) {
  if (!f.at || f.length + 1 >= room) return nullptr;
  f.at[f.length] = '\0';
  return f.at;
}

// Bytes of a value kept for the log (0: missing), at most room - 1.
uint16_t LogFieldLength(const FieldText &f, const char **value) {
  if (!f.at) return 0;
  *value = f.at;
  return (uint16_t)(f.length >= kLogFieldRoom ? kLogFieldRoom - 1 : f.length);
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
  if (hosts && n < (size_t)kAuthoritySize) {
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
void ReadPersistence(ParsedRequest *r, const FieldText &f) {
  if (!f.at) return;
  char value[kConnectionRoom];
  size_t n = 0;
  for (; n < f.length && n + 1 < sizeof value; n++) {
    char ch = f.at[n];
    value[n] = ch >= 'A' && ch <= 'Z' ? (char)(ch + 32) : ch;
  }
  value[n] = '\0';
  r->asksClose = strstr(value, "close") != nullptr;
  r->asksKeepAlive = strstr(value, "keep-alive") != nullptr;
}

// The Content-Length value (already known to be the only one): digits
// only, at most 18 of them.
void ReadContentLength(ParsedRequest *r, const char *value, const char *end) {
  if (value == end || end - value > 18) return Refuse(r, 400, kBadLength);
  r->contentLength = 0;
  for (const char *d = value; d < end; d++) {
    if (*d < '0' || *d > '9') return Refuse(r, 400, kBadLength);
    r->contentLength = r->contentLength * 10 + (*d - '0');
  }
}

// Every field line of the head after the request line, in one pass: the
// fields the server reads are noted in `found`, the Host fields counted,
// and the framing that a proxy in front and this server must read alike is
// checked: a name with a blank in it or before its colon, a folded line, a
// repeated or non-numeric Content-Length and any Transfer-Encoding are
// refused, since a reader that took them otherwise would see another
// request where this one ends. Stops at the empty line, the end of the
// text, or the first line refused.
void ScanFieldLines(ParsedRequest *r, char *head, FieldText *found, int *hostFields) {
  int lengths = 0;
  char *name = strchr(head, '\n');
  while (name) {
    name++;
    if (*name == '\0' || *name == '\r' || *name == '\n') return;
    // A blank first (a folded line) or anywhere before the colon ends the
    // name short of it.
    size_t nameLength = strcspn(name, ": \t\r\n");
    if (name[nameLength] != ':') return Refuse(r, 400, kBadField);
    char *value = name + nameLength + 1;
    while (IsBlank(*value)) value++;
    char *end = value + strcspn(value, "\r\n");
    char *next = end[0] == '\r' && end[1] == '\n' ? end + 1 : strchr(end, '\n');
    while (end > value && IsBlank(end[-1])) end--;
    size_t valueLength = (size_t)(end - value);
    if (nameLength == 14 && SameFolded(name, 14, "content-length")) {
      if (++lengths > 1) return Refuse(r, 400, kBadLength);
      ReadContentLength(r, value, end);
      if (r->status) return;
    } else if (nameLength == 17 && SameFolded(name, 17, "transfer-encoding")) {
      r->hasTransferEncoding = 1;
      if (SameFolded(value, valueLength, "chunked")) return Refuse(r, 411, kChunkedBody);
      return Refuse(r, 400, kBadTransfer);
    } else {
      for (const KnownField &k : kKnownFields) {
        if (k.length != nameLength || !SameFolded(name, nameLength, k.lower))
          continue;
        if (k.field == kHost) ++*hostFields;
        if (!found[k.field].at) found[k.field] = FieldText{value, valueLength};
        break;
      }
    }
    name = next;
  }
}

// The value after the prefix it must start with (letter case aside);
// missing when it does not. The value's own last blanks are cut, so a
// prefix ending in a blank also takes a value that ends where that blank
// stood (an empty value).
FieldText After(const FieldText &f, const char *prefix) {
  size_t n = strlen(prefix);
  if (!f.at) return FieldText{nullptr, 0};
  size_t k = 0;
  for (; k < n && k < f.length; k++) {
    char ch = f.at[k];
    if ((ch >= 'A' && ch <= 'Z' ? (char)(ch + 32) : ch) != prefix[k]) return FieldText{nullptr, 0};
  }
  if (k == n) return FieldText{f.at + n, f.length - n};
  if (k + 1 == n && IsBlank(prefix[k])) return FieldText{f.at + k, 0};
  return FieldText{nullptr, 0};
}

void ParseRange(ParsedRequest *r, const FieldText &f) {
  const char *value = FieldValue(After(f, kRangeUnit), kRangeRoom);
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

void ParseAuthorization(ParsedRequest *r, const FieldText &f) {
  char *cred = r->credentials;
  // Another scheme than Basic is not one the server reads.
  FieldText basic = After(f, kBasicScheme);
  if (!basic.at) return;
  const char *value = FieldValue(basic, kCredentialsSize);
  // The text is decoded in place: at most 260 characters (195 bytes).
  if (!value || strlen(value) > kAuthTextMost) return Refuse(r, 500, kAuthTooLong);
  memcpy(cred, value, strlen(value) + 1);
  if (DecodeBase64(cred, cred, kCredentialsSize) != 0) {
    memset(cred, 0, kCredentialsSize);
    return Refuse(r, 400, kAuthChars);
  }
  char *colon = strchr(cred, ':');
  if (!colon) {
    memset(cred, 0, kCredentialsSize);
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
  const char *end = buffer + length;
  for (const char *p = (const char *)memchr(buffer, '\n', length); p;
       p = (const char *)memchr(p + 1, '\n', (size_t)(end - p - 1))) {
    size_t i = (size_t)(p - buffer), at = 0;
    if (i + 1 < length && p[1] == '\n') at = i + 2;
    if (i + 2 < length && p[1] == '\r' && p[2] == '\n') at = i + 3;
    if (at == 0) continue;
    // A NUL byte ends the text: a head is only what comes before it. The
    // bytes after the head (pipelined requests) are looked at in their turn.
    return memchr(buffer, '\0', at) ? 0 : at;
  }
  return 0;
}

bool HeadComplete(const char *buffer, size_t length) {
  if (length >= (size_t)kHeadSize) return true;
  if (HeadLength(buffer, length) > 0) return true;
  // A NUL byte can never be part of a head the server accepts; waiting for
  // more would only leave the client to the idle time-out.
  if (memchr(buffer, '\0', length)) return true;
  // Nor can a request line past its limit: it is refused as soon as that
  // is known, not after the client has filled the buffer.
  size_t lineRoom = (size_t)kRequestLineMost + 2;
  return length >= lineRoom && !memchr(buffer, '\n', lineRoom);
}

void ParseRequest(ParsedRequest *r, char *head, bool hosts) {
  size_t received = (size_t)r->received;
  FieldText found[kFieldCount] = {};
  int hostFields = 0;
  // One pass over the field lines; its verdict waits behind those on the
  // request line. What the connection and the log need is read whatever
  // the verdict.
  ScanFieldLines(r, head, found, &hostFields);
  int fieldStatus = r->status;
  const char *fieldMessage = r->message;
  r->status = 0;
  r->message = nullptr;
  ReadPersistence(r, found[kConnection]);
  r->line = head;
  size_t line = strcspn(head, "\r\n");
  r->lineLength = (uint16_t)(line >= kLineRoom ? kLineRoom - 1 : line);
  r->refererLength = LogFieldLength(found[kReferer], &r->referer);
  r->agentLength = LogFieldLength(found[kAgent], &r->agent);

  if (strnlen(head, received) < received) return Refuse(r, 400, kBadRequestLine);
  // A head that does not fit is refused whole: served cut, a field past the
  // buffer's end would be lost without a word.
  if (r->headLength == 0)
    return head[line] == '\0' || line > (size_t)kRequestLineMost
               ? Refuse(r, 414, kLineTooLong)
               : Refuse(r, 431, kHeadTooLarge);
  if (line > (size_t)kRequestLineMost) return Refuse(r, 414, kLineTooLong);
  int lineStatus = ParseRequestLine(r, head, line);
  if (lineStatus == 505) return Refuse(r, 505, kBadVersion);
  if (lineStatus != 0) return Refuse(r, 400, kBadRequestLine);
  if (fieldStatus) return Refuse(r, fieldStatus, fieldMessage);
  if (hostFields > 1 || (r->http11 && hostFields == 0)) return Refuse(r, 400, kNoHost);
  // A body sent with GET or HEAD means nothing to the answer; it is read
  // and dropped, up to a bound that keeps a client from holding the
  // connection with it.
  if (r->contentLength > 0 &&
      (r->methodKind == Method::kGet || r->methodKind == Method::kHead)) {
    if (r->contentLength > kDroppedBodyMost) return Refuse(r, 413, kBodyTooLarge);
    r->dropsBody = 1;
  }
  if (hosts && found[kHost].at && r->host[0] == '\0') {
    r->host = FieldValue(found[kHost], kHostRoom);
    if (!r->host) {
      r->host = "";
      return Refuse(r, 500, kHostTooLong);
    }
  }
  ReadAbsoluteForm(r, hosts);
  ParseRange(r, found[kRange]);
  if (found[kAuth].at) {
    ParseAuthorization(r, found[kAuth]);
    if (r->status) return;
  }
  r->ifNoneMatch = FieldValue(found[kIfNoneMatch], kIfNoneMatchRoom);
  r->ifModifiedSince = FieldValue(found[kIfModifiedSince], kIfModifiedSinceRoom);
  r->ifRange = FieldValue(found[kIfRange], kIfRangeRoom);
  r->codings = AcceptedCodings(FieldValue(found[kAcceptEncoding], kAcceptEncodingRoom));
}
