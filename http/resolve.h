// From a request path to a file, an index file, a listing or a redirect.
#pragma once

struct Connection;

// The second half of ParseRequest: `path` is the request path as it stands
// in the request line. Returns the status, also left in c->status.
int ResolveRequest(Connection *c, const char *path);
// %XX escapes (upper-case hex only) decoded in place, code by code in
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
