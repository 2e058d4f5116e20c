#include "file_commands.h"

#include "dispatcher.h"

// Not there yet: each answers "502 Command not implemented.\n".
int DoDELE(Request *pReq) { return NotImplemented(pReq); }
int DoMKD(Request *pReq) { return NotImplemented(pReq); }
int DoRMD(Request *pReq) { return NotImplemented(pReq); }
int DoRNFR(Request *pReq) { return NotImplemented(pReq); }
int DoRNTO(Request *pReq) { return NotImplemented(pReq); }
int DoSIZE(Request *pReq) { return NotImplemented(pReq); }
int DoMDTM(Request *pReq) { return NotImplemented(pReq); }
