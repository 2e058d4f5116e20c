// The command log: one entry per received line and per queued reply, each
// stamped with the time it is written.
#pragma once
#include "server_records.h"

// Uses command and argument; hasArgument when the line held a space.
void LogReceivedLine(Request *pReq, bool hasArgument);
void LogQueuedReply(Request *pReq, const char *reply);
// A connection turned away at accept: the line it was sent, so that the
// log says why a client got nowhere.
void LogRefusal(Server *pConfig, const char *address, const char *reply);
