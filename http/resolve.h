// From a request path to a file, an index file, a listing or a redirect.
#pragma once

#include "forbidden_names.h"

struct Connection;

// The second half of ParseRequest: `path` is the request path as it stands
// in the request line. Returns the status, also left in c->status.
int ResolveRequest(Connection *c, const char *path);
// %XX escapes (upper-case hex only) decoded in place, code by code in
// ascending order. Always 0.
int DecodeURL(char *text);
