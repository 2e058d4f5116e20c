// Generated HTML pages listing a directory, produced one row at a time.
#pragma once

struct Connection;

// Called by the resolution for a directory without index file while
// listings are on. Opens c->fileName (ending in '/') into c->directory and
// reads its entries in page order. Returns the status: 200; 404 when the
// directory does not exist; 500 with c->message set on failure.
int OpenListing(Connection *c);
// Called by the response for an open listing: the head of the page into
// c->buffer / c->bodyLength.
void WriteListingHead(Connection *c);
// Releases the entries of a listing (none is fine).
void FreeListingEntries(Connection *c);
// Called by OnWriteResponse whenever nothing else is pending and listings
// are on: -1 when the page is done or was never started, else 0 with the
// next piece of the page in c->buffer / c->bodyLength: as many rows as fit
// (0 bytes when every entry looked at was skipped).
int NextListingRow(Connection *c);
