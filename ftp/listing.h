// LIST: the current directory, one line per entry, over the data
// connection.
#pragma once
#include "server_records.h"

int DoLIST(Request *pReq);
