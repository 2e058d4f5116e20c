// From a request to a decision: the status, and the file, listing or
// redirect that answers it. The response only renders what is decided here.
#pragma once

#include <cstddef>

#include "forbidden_names.h"

struct Connection;

// The parts of the request head the resolution decides on. The texts live
// in scratch buffers that stay valid while one request is parsed.
struct RequestFields {
  const char *path;             // the request target as in the request line
  const char *host;             // Host value; "" when absent or hosts are off
  const char *ifNoneMatch;      // null when absent
  const char *ifModifiedSince;  // null when absent
  const char *ifRange;          // null when absent
};

// The second half of ParseRequest. Returns the status, also left in
// c->status; c->message, c->location, c->file, c->directory, c->etag and
// the range fields hold the rest of the decision.
int ResolveRequest(Connection *c, const RequestFields &fields);
// The request path as the client named it (decoded, without query): the
// virtual prefix it came through, then the path below it; into out (size
// bytes, cut when it does not fit). Empty before a path was resolved.
void NamedPath(const Connection *c, char *out, size_t size);
// %XX escapes (hex digits of either case) decoded in place, code by code in
// ascending order. Always 0.
int DecodeURL(char *text);
