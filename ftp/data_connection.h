// The data connection of a session: PASV makes the session listen on a
// port of its own, PORT makes it connect to the client, and OnAcceptXfer
// completes either one when the loop sees the data socket ready.
#pragma once
#include "server_records.h"

int DoPASV(Request *pReq);
int DoPORT(Request *pReq);
// The extended forms: EPSV listens like PASV and names only the port
// ("EPSV ALL" leaves EPSV the only way); EPRT |1|address|port| connects
// like PORT after the same checks. Other address families: 522.
int DoEPSV(Request *pReq);
int DoEPRT(Request *pReq);

// True for a port an active data connection must never go to: below 1024,
// the command port, or one of the passive ports. PORT (and EPRT) answer
// "550 Bad PORT arguments." for it.
bool PortRefused(const Server *pConfig, int port);

// DataSocket readable (passive) or writable (active) while no xferSocket
// exists: 0 when xferSocket is ready, -1 otherwise (a 425 reply queued
// when something went wrong).
int OnAcceptXfer(Request *pReq);

// Drops a prepared or running transfer: data sockets closed, buffer
// emptied, file closed.
void DropTransfer(Request *pReq);
