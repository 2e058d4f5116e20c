#include "request_parser.h"

#include <cstring>

#include "http_server.h"
#include "resolve.h"
#include "string_helpers.h"

namespace {

const char kBadRequestLine[] = "Unable to parse non-valid request line.";
const char kNegativeLength[] = "Content-length field cannot be < 0.";
const char kHostTooLong[] = "Host field too long for the server to handle.";
const char kRangeTooLong[] = "Range field too long for the server to handle.";
const char kRangeDashes[] = "Range field must contain one '-'.";
const char kRangeShort[] = "Range field too short to be valid.";
const char kRangeChars[] = "Range field contains non-valid characters.";
const char kAuthTooLong[] =
    "Authorization field too long for the server to handle.";
const char kAuthChars[] = "Authorization field contains non-valid characters.";
const char kAuthInvalid[] = "Authorization field not valid.";

const char kContentLengthField[] = "\nContent-length: ";
const char kHostField[] = "\nHost: ";
const char kRangeField[] = "\nRange: bytes=";
const char kAuthField[] = "\nAuthorization: Basic ";
const char kIfNoneMatchField[] = "\nIf-None-Match: ";
const char kIfModifiedSinceField[] = "\nIf-Modified-Since: ";
const char kIfRangeField[] = "\nIf-Range: ";

const char kBase64[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

// Scratch values of the one request being parsed (one thread, one request
// from start to end).
char hostValue[128];
char rangeValue[64];
// Validators a client sends back; a value too long for its buffer is
// treated as absent, which only ever costs a full answer instead of 304.
char ifNoneMatchValue[512];
char ifModifiedSinceValue[64];
char ifRangeValue[128];

int Refuse(Connection *c, int status, const char *message) {
  c->status = status;
  c->message = message;
  return status;
}

// Copies the field value after `at` up to its line end (CR, or LF alone)
// into out (size bytes, the line end included in the count). The copy never
// reads past the end of the received text; a value whose line end is not
// within reach counts as too long. 0, or -1 with out cleared.
int CopyFieldValue(const char *at, char *out, size_t size) {
  size_t avail = strnlen(at, size - 1);
  size_t n = strcspn(at, "\r\n");
  if (n >= avail) {
    out[0] = '\0';
    return -1;
  }
  memcpy(out, at, n);
  out[n] = '\0';
  return 0;
}

// The fields the parse looks for, found in one pass over the head; each
// is where the text first appears (see FindLineStarts).
enum Field {
  kContentLength, kHost, kRange, kAuth, kIfNoneMatch, kIfModifiedSince,
  kIfRange, kFieldCount
};
const char *const kFieldNames[kFieldCount] = {
    kContentLengthField, kHostField,  kRangeField,  kAuthField,
    kIfNoneMatchField,   kIfModifiedSinceField, kIfRangeField};

// The value of an optional field found at `at` (null: missing) into out;
// absent (null) when the field is missing or its value does not fit.
const char *OptionalField(const char *at, const char *field, char *out,
                          size_t size) {
  if (!at || CopyFieldValue(at + strlen(field), out, size) != 0) return nullptr;
  return out;
}

int ParseMethod(Connection *c) {
  size_t n = 0;
  while (n < 7 && c->buffer[n] != '\0') {
    c->method[n] = c->buffer[n];
    if (c->buffer[n++] == ' ') break;
  }
  c->method[n] = '\0';
  if (n == 0 || c->method[n - 1] != ' ') return -1;
  c->method[n - 1] = '\0';
  return (int)n;
}

int ParseRange(Connection *c, const char *at) {
  if (CopyFieldValue(at, rangeValue, sizeof rangeValue) != 0)
    return Refuse(c, 416, kRangeTooLong);
  // Several ranges are answered with the whole file, as if none was asked
  // for: one body of one type is all the server sends.
  if (strchr(rangeValue, ',')) return 0;
  const char *dash = strchr(rangeValue, '-');
  if (!dash || strchr(dash + 1, '-')) return Refuse(c, 416, kRangeDashes);
  if (strlen(rangeValue) < 2) return Refuse(c, 416, kRangeShort);
  if (strspn(rangeValue, "-0123456789") != strlen(rangeValue))
    return Refuse(c, 416, kRangeChars);
  if (rangeValue[0] == '-') {
    c->rangeEnd = ParseLong(rangeValue);
    c->rangeEndGiven = 1;
  } else {
    c->rangeStart = ParseLong(rangeValue);
    c->rangeStartGiven = 1;
    if (dash[1] != '\0') {
      // The last byte position is inclusive; rangeEnd is kept exclusive.
      int64_t last = ParseLong(dash + 1);
      c->rangeEnd = last == INT64_MAX ? INT64_MAX : last + 1;
      c->rangeEndGiven = 1;
    }
  }
  return 0;
}

int ParseAuthorization(Connection *c, const char *at) {
  char *cred = c->credentials;
  if (CopyFieldValue(at, cred, sizeof c->credentials) != 0)
    return Refuse(c, 500, kAuthTooLong);
  // With its carriage return the value may take at most 61 characters.
  if (strlen(cred) + 1 >= 62) {
    memset(cred, 0, sizeof c->credentials);
    return Refuse(c, 500, kAuthTooLong);
  }
  if (DecodeBase64(cred, cred, sizeof c->credentials) != 0) {
    memset(cred, 0, sizeof c->credentials);
    return Refuse(c, 400, kAuthChars);
  }
  char *colon = strchr(cred, ':');
  if (!colon) {
    memset(cred, 0, sizeof c->credentials);
    return Refuse(c, 400, kAuthInvalid);
  }
  *colon = '\0';
  c->passwordOffset = (int32_t)(colon + 1 - cred);
  return 0;
}

}  // namespace

const char *RequestHost() { return hostValue; }

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

int ParseRequest(Connection *c) {
  // The head stays in buffer while it is parsed, but nothing of it may go
  // out as a body: credentials travel in it.
  size_t received = (size_t)c->bodyLength;
  c->bodyLength = 0;
  hostValue[0] = '\0';
  rangeValue[0] = '\0';

  int pathStart = ParseMethod(c);
  if (pathStart < 0) return Refuse(c, 400, kBadRequestLine);
  if (strnlen(c->buffer, received) < received)
    return Refuse(c, 400, kBadRequestLine);

  const char *found[kFieldCount];
  FindLineStarts(c->buffer, kFieldNames, kFieldCount, found);
  if (const char *at = found[kContentLength]) {
    c->contentLength = ParseLong(at + strlen(kContentLengthField));
    if (c->contentLength < 0) return Refuse(c, 400, kNegativeLength);
  }
  if (c->server->hosts) {
    if (const char *at = found[kHost]) {
      if (CopyFieldValue(at + strlen(kHostField), hostValue,
                         sizeof hostValue) != 0)
        return Refuse(c, 500, kHostTooLong);
    }
  }
  if (const char *at = found[kRange]) {
    int r = ParseRange(c, at + strlen(kRangeField));
    if (r != 0) return r;
  }
  if (const char *at = found[kAuth]) {
    int r = ParseAuthorization(c, at + strlen(kAuthField));
    if (r != 0) return r;
  }
  RequestFields fields;
  fields.path = c->buffer + pathStart;
  fields.host = hostValue;
  fields.ifNoneMatch =
      OptionalField(found[kIfNoneMatch], kIfNoneMatchField, ifNoneMatchValue,
                    sizeof ifNoneMatchValue);
  fields.ifModifiedSince =
      OptionalField(found[kIfModifiedSince], kIfModifiedSinceField,
                    ifModifiedSinceValue, sizeof ifModifiedSinceValue);
  fields.ifRange = OptionalField(found[kIfRange], kIfRangeField, ifRangeValue,
                                 sizeof ifRangeValue);
  return ResolveRequest(c, fields);
}
