// A transfer's whole life over the data connection: started by RETR, STOR,
// APPE, LIST, NLST or MLSD, connected when the loop sees the data socket
// ready, pumped while the connection takes or brings bytes, ended with the
// one final reply, and torn down with the session or a new PASV, PORT or
// ABOR.
#pragma once
#include "server_records.h"

// --- Start -------------------------------------------------------------

int DoRETR(Request *pReq);
int DoSTOR(Request *pReq);
int DoAPPE(Request *pReq);
// LIST and NLST take options and a path, MLSD a directory (listing.h).
// What does not exist or leaves the root: 550, no 150, and no data
// connection survives.
int DoLIST(Request *pReq);
int DoNLST(Request *pReq);
int DoMLSD(Request *pReq);
// LIST without permission: the transfer starts with nothing to send, so
// the client gets an empty listing once its data connection is up.
int StartEmptyListing(Request *pReq);

// The listener (passive) turned readable or the connect (active) writable
// while no data connection exists: 0 when xfer.io is ready, -1 otherwise
// (a 425 reply queued when something went wrong).
int OnAcceptXfer(Request *pReq);
// A data connection just made (accepted, or connected by PORT): after
// PROT P it speaks TLS from its first byte. 0, or -1 after a 425 reply.
int ProtectNewConnection(Request *pReq);

// --- Pump --------------------------------------------------------------

// xfer.io writable while sending (downloads, listings) / readable while
// receiving (uploads): 0 to go on, -1 when the transfer is over
// (xfer.state kDataIdle: complete, otherwise failed).
int OnWriteData(Request *pReq);
int OnReadData(Request *pReq);
// The loop's call when the data connection is ready: the pump the
// transfer's direction needs, and the end of the transfer when it reports
// one.
void PumpTransfer(Request *pReq);

// Milliseconds until an upload's drain is cut short (0: now), -1 when no
// drain runs: the loop wakes the session then, as a silent client would
// never make its socket ready.
int64_t DrainWaitMs(const Request *pReq);

// Whether the data connection is to be written, read, or (none being up
// yet) accepted or connected: 0 = yes, -1 = no.
int IfDataSend(Request *pReq);
int IfDataRecv(Request *pReq);
int IfAcceptXfer(Request *pReq);

// True while the session's transfer socket has nothing to do: the
// throttle's window is spent. The loop does not wait on it then (it would
// only spin).
bool DataWaits(const Request *pReq);

// --- End ---------------------------------------------------------------

// The final reply of a transfer that a pump ended: the pump's own (452,
// 451 write errors) when it gave one, else `completion` (226 or 451).
// Queued at once, or right after the reply the channel is still sending.
void SendFinalReply(Request *pReq, const char *completion);
// Queues a final reply held back by SendFinalReply once the channel is
// free again.
void SendPendingReply(Request *pReq);

// --- Tear-down ---------------------------------------------------------

// The established data connection: closing alert (TLS), bounded drain,
// close; the loop forgets the socket first.
void CloseXferConnection(Request *pReq);
// Listener or pending connect and the data connection; back to passive
// mode.
void CloseDataConnection(Request *pReq);
void CloseDataBuffer(Request *pReq);  // empty buffer, no transfer
// The transfer's file; an upload closed before its good end leaves the
// old file as it was.
void CloseDataFile(Request *pReq);
// Drops a prepared or running transfer: everything above closed, the
// listed directory too, and the data record made ready for the next one.
void DropTransfer(Request *pReq);
// The session ends: an upload under way keeps what arrived, as a closed
// data connection would have it, and the transfer is dropped.
void EndSessionTransfer(Request *pReq);
