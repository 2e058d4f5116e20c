// The data connection of a session: PASV makes the session listen on a
// port of its own, PORT makes it connect to the client; the transfer
// (transfers.h) completes either one when the loop sees the data socket
// ready.
#pragma once
#include "server_records.h"

// Both carry IPv4 addresses: on an IPv6 session they answer 522.
int DoPASV(Request *pReq);
int DoPORT(Request *pReq);
// The extended forms, for sessions of either family: EPSV listens like
// PASV and names only the port ("EPSV ALL" leaves EPSV the only way); EPRT
// |1|address|port| (IPv4) or |2|address|port| (IPv6) connects like PORT
// after the same checks. A family other than the session's own: 522.
int DoEPSV(Request *pReq);
int DoEPRT(Request *pReq);

// True for a port an active data connection must never go to: below 1024,
// the command port, or one of the passive ports. PORT (and EPRT) answer
// "550 Bad PORT arguments." for it.
bool PortRefused(const Server *pConfig, int port);
