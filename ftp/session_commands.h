// Login and the commands that only touch the session itself.
#pragma once
#include "server_records.h"

// DoPASS's result for a wrong password: the dispatcher then refuses the
// login (332) and the session ends.
enum { kWrongPassword = -1 };

int DoUSER(Request *pReq);
int DoPASS(Request *pReq);
int DoSYST(Request *pReq);
int DoNOOP(Request *pReq);
int DoPWD(Request *pReq);
int DoTYPE(Request *pReq);
int DoREST(Request *pReq);
int DoQUIT(Request *pReq);
int DoABOR(Request *pReq);
// ALLO: nothing to reserve (202). MODE S and STRU F, the only mode and
// structure there are, 200; any other 504.
int DoALLO(Request *pReq);
int DoMODE(Request *pReq);
int DoSTRU(Request *pReq);
// SITE: the line without "SITE " becomes the current command. 0 when it
// holds a command line to dispatch, else the code of the reply queued.
int TakeSiteLine(Request *pReq);
