// From a parsed request to a decision: the status, and the file, listing,
// redirect or error page that answers it. The response only renders what
// is decided here.
#pragma once

#include <cstddef>

struct Connection;

// Decides the answer to the parsed request in c->request, into
// c->decision: the status, the file, listing or redirect, the built-in
// body text or the custom error page (opened here), and whether the
// connection stays (`mayStay`: the request asked to and the connection
// may serve another).
void ResolveRequest(Connection *c, bool mayStay);
// The request path as the client named it (decoded, without query): the
// virtual prefix it came through, then the path below it; into out (size
// bytes, cut when it does not fit). Empty before a path was resolved.
void NamedPath(const Connection *c, char *out, size_t size);
// %XX escapes (hex digits of either case) decoded in place, code by code in
// ascending order. Always 0.
int DecodeURL(char *text);
