// Reading the server's configuration file into Server and the log settings.
#pragma once
#include "server_records.h"

// 0, or -1 after a fatal fault (its message already printed). Every
// decision about a missing or bad key is announced on standard error.
int InitConfig(Server *pConfig, const char *fileName, Log *log);
