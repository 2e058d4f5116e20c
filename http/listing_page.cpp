// STUB: directory listing pages are not generated yet. Until they are, a
// directory without index file is answered as when listings are off, and
// there are never rows to send.
#include "listing_page.h"

#include "http_server.h"
#include "response.h"

namespace {
const char kNotFound[] =
    "Requested file was not found. Try using UTF-7 encoding for URLs.";
}  // namespace

int OpenListing(Connection *c) {
  c->status = 404;
  SetErrorBody(c, kNotFound);
  return 404;
}

int NextListingRow(Connection *) { return -1; }
