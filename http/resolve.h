// From a request to a decision: the status, and the file, listing or
// redirect that answers it. The response only renders what is decided here.
#pragma once

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
// %XX escapes (hex digits of either case) decoded in place, code by code in
// ascending order. Always 0.
int DecodeURL(char *text);
// 200 (pass), 401 (password needed) or 403 (forbidden) for `text`, after
// the safety checks on the request path at c->urlPath.
int CheckAccess(Connection *c, const char *text);
// CheckAccess on the request path as the forbidden names see it: behind the
// matched virtual prefix (without its trailing '/') in directory mode.
int CheckPathAccess(Connection *c);
// 0 when the credentials name `user` with the right password.
int CheckUser(Connection *c, const char *user);
