// The readiness loop that hands each session's sockets to the named
// handlers.
#pragma once

#include "server_records.h"

// Takes a client from `listener` (the command port, or the implicit TLS
// port whose sessions start in TLS).
Request *OnAccept(Server *pConfig, int listener);
// Runs the main loop while MaxUsers is not 0 and no stop was asked for
// (StopRequested).
void RunServer(Server *pConfig);
// Stopping: tells every session "421 Service closing control connection."
// (one attempt each: a client that does not take it loses nothing more).
void AnnounceClosing(Server *pConfig);
// Ends every session through CloseRequest, then the loop.
void CloseAllRequests(Server *pConfig);
