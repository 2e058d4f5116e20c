// DoFTP: decides whether a parsed command may run (known word, permission,
// login, command sequence) and hands it to its handler. A handler takes the
// session, queues exactly one reply with SendFTPstring and returns its
// code; the table in dispatcher.cpp names the handler of every code.
#pragma once
#include "server_records.h"

// Internal code of LIST by an account without the LIST permission: an
// empty listing.
enum { kEmptyListing = 107 };

typedef int (*CommandHandler)(Request *pReq);

// Runs the current command; returns the code of the reply it queued. The
// caller ends the session on 221 and 332. SITE runs the command line
// that follows it through the same checks.
int DoFTP(Request *pReq);
