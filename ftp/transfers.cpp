#include "transfers.h"

#include "dispatcher.h"

// Data connections are not there yet: every command answers 502 and no
// data socket is ever opened, so the pumps are never called.
int DoPASV(Request *pReq) { return NotImplemented(pReq); }
int DoPORT(Request *pReq) { return NotImplemented(pReq); }
int DoRETR(Request *pReq) { return NotImplemented(pReq); }
int DoSTOR(Request *pReq) { return NotImplemented(pReq); }
int DoAPPE(Request *pReq) { return NotImplemented(pReq); }

int OnAcceptXfer(Request *) { return -1; }
int OnWriteData(Request *) { return -1; }
int OnReadData(Request *) { return -1; }
