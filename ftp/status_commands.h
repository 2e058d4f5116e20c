// What a client asks about the server rather than the files: STAT (the
// session's status, or one entry's listing line on the command
// connection) and HELP (the commands, or those behind SITE).
#pragma once
#include "server_records.h"

int DoSTAT(Request *pReq);
int DoHELP(Request *pReq);
