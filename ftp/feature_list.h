// What the server tells a client about itself: FEAT lists the extensions
// it speaks, OPTS switches one of them. Both are answered before login as
// well as after.
#pragma once
#include "server_records.h"

int DoFEAT(Request *pReq);
// OPTS UTF8 ON: 200 (names pass through as bytes already); any other
// option: 501.
int DoOPTS(Request *pReq);
