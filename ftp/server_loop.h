// The network side of the server: the listening socket and the readiness
// loop that hands each session's sockets to the named handlers.
#pragma once

#include "server_records.h"

int InitNet(Server *pConfig);
// After a failed InitNet: listening socket closed, sessions freed.
void CloseServer(Server *pConfig);
Request *OnAccept(Server *pConfig);
// Runs the main loop while MaxUsers is not 0 and no stop was asked for.
void RunServer(Server *pConfig);
// Asks the loop to end; safe to call from a signal handler.
void StopServer();
// Ends every session through CloseRequest, then the loop.
void CloseAllRequests(Server *pConfig);
