// The request line and the header fields the server understands, read
// from a request head in one pass.
#pragma once
#include <cstddef>

struct ParsedRequest;

// Bytes of the request head at the start of buffer (length bytes
// received), its empty line included; 0 while it has not ended.
size_t HeadLength(const char *buffer, size_t length);
// True once buffer (length bytes received) holds a whole request head, its
// lines ended by CR LF or LF alone, or a head that can never be accepted
// (a NUL byte, the buffer full, or a request line past its limit):
// either way it is answered now.
bool HeadComplete(const char *buffer, size_t length);
// Reads the head at `head` (r->received bytes, NUL-ended) into r in one
// pass: every field any part of the server uses. Values are ended in place,
// so the head must stay as it is while r is used. A head that cannot be
// accepted leaves its status and text in r->status and r->message. `hosts`:
// virtual hosting is on, so the Host value counts.
void ParseRequest(ParsedRequest *r, char *head, bool hosts);
// Decodes Basic credentials; out (outSize bytes) may be the same buffer as
// in. -1 for a character outside the alphabet or an output that does not fit.
int DecodeBase64(const char *in, char *out, size_t outSize);
