// Commands that change or query the file tree without a data connection:
// DELE, MKD, RMD, RNFR/RNTO, SIZE and MDTM. Each queues one reply and
// returns its code (SIZE returns 0 after its 213 reply).
#pragma once
#include "server_records.h"

int DoDELE(Request *pReq);
int DoMKD(Request *pReq);
int DoRMD(Request *pReq);
int DoRNFR(Request *pReq);
int DoRNTO(Request *pReq);
int DoSIZE(Request *pReq);
int DoMDTM(Request *pReq);
// MFMT YYYYMMDDHHMMSS PATH: sets the modification time (UTC), the mode
// left as it is; "213 Modify=...; PATH".
int DoMFMT(Request *pReq);
// SITE CHMOD MODE PATH: permission bits 0 to 777 in octal (no setuid,
// setgid or sticky bit).
int DoSiteChmod(Request *pReq);

// Queues the modification time of the real path as "213 YYYYMMDDhhmmss"
// (UTC) and returns 213; 550 (with its reply) when the path does not exist
// or its time has no four-digit year.
int DoMDTM(Request *pReq, char *path);
