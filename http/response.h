// Status lines, built-in error bodies, opening the requested file with its
// byte range, and the response header block.
#pragma once

struct Connection;

// "200 Ok" ... for the codes the server knows; null for any other.
const char *StatusText(int status);
// Writes the built-in plain-text body for c->status into c->buffer. 0 when
// a body was written, -1 when none was (bodies off, or too long).
int SetErrorBody(Connection *c, const char *message);
// Opens c->fileName and applies the byte range. 0 (status 200 or 206), or
// -1 with status 416 or 500 and its error body.
int OpenRequestedFile(Connection *c);
// OpenRequestedFile for a path that opens for reading as a regular file:
// 0 or -1 as there. 1, with nothing changed, for any other path.
int OpenIfReadableFile(Connection *c);
// Fills c->header and c->headerLength; opens the custom error page when no
// built-in body was written. Always 0: a block that would not fit becomes
// a bare 500 header.
int BuildHeader(Connection *c);
