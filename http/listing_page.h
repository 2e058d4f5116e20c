// Generated HTML pages listing a directory, produced one row at a time.
#pragma once
#include <cstddef>

struct Connection;

// Bytes of the page sent in one piece at most (its rows leave in a few
// large writes rather than many small ones).
constexpr size_t kListingPageSize = 32 * 1024;

// Called by the resolution for a directory without index file while
// listings are on. Opens c->fileName (ending in '/') into c->directory and
// reads its entries in page order. Returns the status: 200; 404 when the
// directory does not exist; 500 with c->message set on failure.
int OpenListing(Connection *c);
// Called by the response for an open listing: the head of the page as the
// body text (c->body, the listing's page, and c->bodyLength).
void WriteListingHead(Connection *c);
// Releases the entries of a listing (none is fine), with any of its page
// still pending.
void FreeListingEntries(Connection *c);
// Called by OnWriteResponse for a listing whose page is the body: adds
// the next rows (and at the end the foot) behind the body text pending,
// as many as surely fit. -1 when the page is done or was never started
// and nothing is pending, else 0 (nothing added when every entry looked at
// was skipped).
int NextListingRow(Connection *c);
