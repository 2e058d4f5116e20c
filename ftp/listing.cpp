#include "listing.h"

#include "dispatcher.h"

// Listings come with the data connections.
int DoLIST(Request *pReq) { return NotImplemented(pReq); }
