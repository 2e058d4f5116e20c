// The network side of zolf's start and end, and who is let in: the
// listening socket, the per-address and failed-login limits at accept, the
// rest the listener takes when descriptors run out.
#pragma once

#include "server_records.h"

// Listens on Address:Port (Address=AUTO found first, ExternIP=AUTO made
// Address); 0, or -1 after printing the failed step.
int InitNet(Server *pConfig);
// After a failed InitNet: listening socket closed, sessions freed.
void CloseServer(Server *pConfig);
// Called with a freshly accepted connection: when the client address is
// over one of its limits, sends the matching 421 line, closes the socket
// and returns true; otherwise false and nothing is done.
bool RefusedAtAccept(Server *pConfig, int sock, const char *address);
// The 421 line for a client over one of its limits, or null.
const char *AcceptRefusal(Server *pConfig, const char *address);
// No connection could be taken (accept failed, or no session could be
// made): the listener rests a moment and the message is printed at most
// once a second.
void OnAcceptFailed(Server *pConfig);
// SIGHUP: reads the configuration file again. A faulty one is reported
// and the running settings kept; a sound one applies to connections made
// from now on (the listening socket changes only with Address or Port;
// the caller watches the one in the record afterwards).
void ReloadServer(Server *pConfig);
