// Data connections (PASV, PORT) and the transfers over them (RETR, STOR,
// APPE), with the two pumps the main loop drives.
#pragma once
#include "server_records.h"

int DoPASV(Request *pReq);
int DoPORT(Request *pReq);
int DoRETR(Request *pReq);
int DoSTOR(Request *pReq);
int DoAPPE(Request *pReq);

// Main-loop events of the data side. OnAcceptXfer: DataSocket readable
// (passive) or writable (active) while no xferSocket exists; 0 when
// xferSocket is ready, -1 otherwise. OnWriteData / OnReadData: xferSocket
// writable while sending / readable while receiving; 0 to go on, -1 when
// the transfer is over (dataState 4: complete, otherwise failed).
int OnAcceptXfer(Request *pReq);
int OnWriteData(Request *pReq);
int OnReadData(Request *pReq);
