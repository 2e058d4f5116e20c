// The request line and the header fields the server understands.
#pragma once
#include <cstddef>

struct Connection;

// Parses and resolves the request held in c->buffer; returns the status,
// also left in c->status.
int ParseRequest(Connection *c);
// The Host value of the request being handled (empty when there was none or
// virtual hosting is off). Valid until the next request is parsed.
const char *RequestHost();
// Decodes Basic credentials; out (outSize bytes) may be the same buffer as
// in. -1 for a character outside the alphabet or an output that does not fit.
int DecodeBase64(const char *in, char *out, size_t outSize);
