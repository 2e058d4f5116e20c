// The network side of the server: the listening socket, the select() loop
// that hands each session the one event it gets per pass, and the idle
// check.
#pragma once
#include <sys/select.h>

#include "server_records.h"

int InitNet(Server *pConfig);
// After a failed InitNet: listening socket closed, sessions freed.
void CloseServer(Server *pConfig);
// Fills the three sets from the state of every session; returns the
// highest descriptor put into any of them (0 when none).
int setfds(fd_set *readSet, fd_set *writeSet, fd_set *exceptSet,
           Server *pConfig);
Request *OnAccept(Server *pConfig);
void CheckIdle(Server *pConfig);
// Runs the main loop while MaxUsers is not 0 and no stop was asked for.
void RunServer(Server *pConfig);
// Asks the loop to end; safe to call from a signal handler.
void StopServer();
// Ends every session through CloseRequest.
void CloseAllRequests(Server *pConfig);
