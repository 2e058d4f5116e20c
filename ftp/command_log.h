// The command log: one entry per received line and per queued reply,
// stamped with the session's connect time.
#pragma once
#include "server_records.h"

// Uses command and argument; hasArgument when the line held a space.
void LogReceivedLine(Request *pReq, bool hasArgument);
void LogQueuedReply(Request *pReq, const char *reply);
