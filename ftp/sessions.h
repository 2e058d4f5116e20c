// The session list owned by Server, and the start and end of a session.
#pragma once
#include "server_records.h"

// New session for an accepted socket, appended to the list and counted;
// null when memory runs out (nothing changed then).
// clientAddress is the client's printed address, IPv4 or IPv6.
Request *AddRequest(int sock, Server *pConfig, const char *clientAddress);
Request *GetNextRequest(Request *pReq);
// Unlinks and frees; closes nothing.
void DelRequest(Request **head, Request *pReq);
void DelAllRequests(Request **head);
// Ends a session: rename paths freed, transfer ended (transfers.h), quota
// written back, command connection closed, timers cancelled, record
// unlinked and freed. Returns the session that followed it.
Request *CloseRequest(Request *pReq);

// Closing alert (TLS), bounded drain, close; the loop forgets the socket
// first.
void CloseCmndConnection(Request *pReq);
