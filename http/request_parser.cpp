#include "request_parser.h"

#include <cstring>

#include "http_server.h"
#include "string_helpers.h"

namespace {

const char kBadRequestLine[] = "Unable to parse non-valid request line.";
const char kNegativeLength[] = "Content-length field cannot be < 0.";
const char kHostTooLong[] = "Host field too long for the server to handle.";
const char kRangeTooLong[] = "Range field too long for the server to handle.";
const char kRangeDashes[] = "Range field must contain one '-'.";
const char kRangeShort[] = "Range field too short to be valid.";
const char kRangeChars[] = "Range field contains non-valid characters.";
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
  kContentLength, kHost, kRange, kAuth, kIfNoneMatch, kIfModifiedSince,
  kIfRange, kConnection, kTransferEncoding, kReferer, kAgent, kFieldCount
};
const char *const kFieldNames[kFieldCount] = {
    "\nContent-length: ", "\nHost: ", "\nRange: bytes=",
    "\nAuthorization: Basic ", "\nIf-None-Match: ", "\nIf-Modified-Since: ",
    "\nIf-Range: ", "\nConnection:", "\nTransfer-Encoding:", "\nReferer: ",
    "\nUser-Agent: "};

// Room for each value, its end included: a longer Host is refused, a
// longer validator or Range treated as absent or refused, a longer log
// field cut, a longer Connection value read only as far as this.
const size_t kHostRoom = 128;
const size_t kRangeRoom = 64;
const size_t kIfNoneMatchRoom = 512;
const size_t kIfModifiedSinceRoom = 64;
const size_t kIfRangeRoom = 128;
const size_t kConnectionRoom = 64;
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

int ParseMethod(ParsedRequest *r, const char *head) {
  size_t n = 0;
  while (n < 7 && head[n] != '\0') {
    r->method[n] = head[n];
    if (head[n++] == ' ') break;
  }
  r->method[n] = '\0';
  if (n == 0 || r->method[n - 1] != ' ') return -1;
  r->method[n - 1] = '\0';
  return (int)n;
}

// The version at the end of the request line, and what the Connection
// field says: a request asks to keep the connection with HTTP/1.1 unless
// it says "close", with HTTP/1.0 only when it says "keep-alive".
void ReadPersistence(ParsedRequest *r, const char *head, const char *at) {
  const char *lineEnd = head + strcspn(head, "\r\n");
  if (*lineEnd == '\0') return;
  const char *version = lineEnd;
  while (version > head && version[-1] != ' ') version--;
  if (lineEnd - version == 8) {
    r->http11 = strncmp(version, "HTTP/1.1", 8) == 0;
    r->http10 = strncmp(version, "HTTP/1.0", 8) == 0;
  }
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

void ParseRange(ParsedRequest *r, char *at) {
  const char *value = FieldValue(at, kRange, kRangeRoom);
  if (!value) return Refuse(r, 416, kRangeTooLong);
  // Several ranges are answered with the whole file, as if none was asked
  // for: one body of one type is all the server sends.
  if (strchr(value, ',')) return;
  const char *dash = strchr(value, '-');
  if (!dash || strchr(dash + 1, '-')) return Refuse(r, 416, kRangeDashes);
  if (strlen(value) < 2) return Refuse(r, 416, kRangeShort);
  if (strspn(value, "-0123456789") != strlen(value))
    return Refuse(r, 416, kRangeChars);
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
  ReadPersistence(r, head, found[kConnection]);
  r->hasTransferEncoding = found[kTransferEncoding] != nullptr;
  r->line = head;
  size_t line = strcspn(head, "\r\n");
  r->lineLength = (uint16_t)(line >= kLineRoom ? kLineRoom - 1 : line);
  r->refererLength = LogFieldLength(found[kReferer], kReferer, &r->referer);
  r->agentLength = LogFieldLength(found[kAgent], kAgent, &r->agent);

  int pathStart = ParseMethod(r, head);
  if (pathStart < 0) return Refuse(r, 400, kBadRequestLine);
  if (strnlen(head, received) < received) return Refuse(r, 400, kBadRequestLine);
  r->target = head + pathStart;
  if (const char *at = found[kContentLength]) {
    r->contentLength = ParseLong(at + strlen(kFieldNames[kContentLength]));
    if (r->contentLength < 0) return Refuse(r, 400, kNegativeLength);
  }
  if (hosts && found[kHost]) {
    r->host = FieldValue(found[kHost], kHost, kHostRoom);
    if (!r->host) {
      r->host = "";
      return Refuse(r, 500, kHostTooLong);
    }
  }
  if (found[kRange]) {
    ParseRange(r, found[kRange]);
    if (r->status) return;
  }
  if (found[kAuth]) {
    ParseAuthorization(r, found[kAuth]);
    if (r->status) return;
  }
  r->ifNoneMatch = FieldValue(found[kIfNoneMatch], kIfNoneMatch, kIfNoneMatchRoom);
  r->ifModifiedSince =
      FieldValue(found[kIfModifiedSince], kIfModifiedSince, kIfModifiedSinceRoom);
  r->ifRange = FieldValue(found[kIfRange], kIfRange, kIfRangeRoom);
}
