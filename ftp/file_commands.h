// Commands that change or query the file tree without a data connection.
#pragma once
#include "server_records.h"

int DoDELE(Request *pReq);
int DoMKD(Request *pReq);
int DoRMD(Request *pReq);
int DoRNFR(Request *pReq);
int DoRNTO(Request *pReq);
int DoSIZE(Request *pReq);
int DoMDTM(Request *pReq);
