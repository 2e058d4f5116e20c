// The session list owned by Server, the readiness tests that decide which of
// a session's sockets the loop waits on, and the close operations.
#pragma once
#include "server_records.h"

// New session for an accepted socket, appended to the list and counted;
// null when memory runs out (nothing changed then).
// clientAddress is the client's printed address, IPv4 or IPv6.
Request *AddRequest(int sock, Server *pConfig, const char *clientAddress);
// Descriptors below this number fit the server's loop.
int SocketRoom(const Server *pConfig);
Request *GetNextRequest(Request *pReq);
// Unlinks and frees; closes nothing.
void DelRequest(Request **head, Request *pReq);
void DelAllRequests(Request **head);
// Ends a session: rename paths freed, quota written back, file, directory
// and sockets closed, record unlinked and freed. Returns the session that
// followed it.
Request *CloseRequest(Request *pReq);

void CloseCmndConnection(Request *pReq);
void CloseXferConnection(Request *pReq);
void CloseDataConnection(Request *pReq);  // also back to passive mode
void CloseDataBuffer(Request *pReq);      // empty buffer, no transfer
void CloseDataFile(Request *pReq);

// 0 = yes, -1 = no.
int IfCmndSend(Request *pReq);
int IfCmndRecv(Request *pReq);  // sets cmndState to receiving when yes
int IfDataSend(Request *pReq);
int IfDataRecv(Request *pReq);
int IfAcceptXfer(Request *pReq);
