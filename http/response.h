// Rendering the decision of the resolution: status lines, built-in error
// bodies, custom error pages and the response header block.
#pragma once

struct Connection;

// "200 Ok" ... for the codes the server knows; null for any other.
const char *StatusText(int status);
// Writes the built-in plain-text body for c->status into c->buffer. 0 when
// a body was written, -1 when none was (bodies off, or too long).
int SetErrorBody(Connection *c, const char *message);
// Fills c->header and c->headerLength, and the start of the body: the
// built-in error body for c->message, the custom error page when no
// built-in body was written, or the head of a listing. Always 0: a block that would not fit becomes
// a bare 500 header.
int BuildHeader(Connection *c);
