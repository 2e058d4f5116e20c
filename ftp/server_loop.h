// The readiness loop that hands each session's sockets to the named
// handlers.
#pragma once

#include "server_records.h"

Request *OnAccept(Server *pConfig);
// Runs the main loop while MaxUsers is not 0 and no stop was asked for
// (StopRequested).
void RunServer(Server *pConfig);
// Ends every session through CloseRequest, then the loop.
void CloseAllRequests(Server *pConfig);
