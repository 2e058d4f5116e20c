// The request line and the header fields the server understands.
#pragma once
#include <cstddef>

struct Connection;

// Bytes of the request head at the start of buffer (length bytes
// received), its empty line included; 0 while it has not ended.
size_t HeadLength(const char *buffer, size_t length);
// True once buffer (length bytes received) holds a whole request head, its
// lines ended by CR LF or LF alone, or a head that can never be accepted
// (a NUL byte, or the buffer full): either way it is answered now.
bool HeadComplete(const char *buffer, size_t length);
// Parses and resolves the request held in c->buffer; returns the status,
// also left in c->status.
int ParseRequest(Connection *c);
// The Host value of the request being handled (empty when there was none or
// virtual hosting is off). Valid until the next request is parsed.
const char *RequestHost();
// Decodes Basic credentials; out (outSize bytes) may be the same buffer as
// in. -1 for a character outside the alphabet or an output that does not fit.
int DecodeBase64(const char *in, char *out, size_t outSize);
