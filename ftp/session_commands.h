// Login and the commands that only touch the session itself.
#pragma once
#include "server_records.h"

// DoPASS's result for a password that only a hash check (tens of
// milliseconds) can judge: the loop runs the check off its thread and
// answers with FinishPASS once it is over.
enum { kPasswordChecking = -2 };

int DoUSER(Request *pReq);
int DoPASS(Request *pReq);
// The reply to PASS once the password is judged: 230, or 530 with the
// session marked as having given a refused password.
int FinishPASS(Request *pReq, bool match);
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
