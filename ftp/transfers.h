// Transfers over the data connection: RETR, STOR and APPE, the two pumps
// the main loop drives, and the one final reply every transfer ends with.
#pragma once
#include "data_connection.h"
#include "server_records.h"

int DoRETR(Request *pReq);
int DoSTOR(Request *pReq);
int DoAPPE(Request *pReq);

// xferSocket writable while sending (downloads, listings) / readable while
// receiving (uploads): 0 to go on, -1 when the transfer is over
// (dataState 4: complete, otherwise failed).
int OnWriteData(Request *pReq);
int OnReadData(Request *pReq);

// The final reply of a transfer that a pump ended: the pump's own (452,
// 451 write errors) when it gave one, else `completion` (226 or 451).
// Queued at once, or right after the reply the channel is still sending.
void SendFinalReply(Request *pReq, const char *completion);
// Queues a final reply held back by SendFinalReply once the channel is
// free again.
void SendPendingReply(Request *pReq);

// True while the session's transfer socket has nothing to do: the
// throttle's window is spent. The loop does not wait on it then (it would
// only spin).
bool DataWaits(const Request *pReq);
