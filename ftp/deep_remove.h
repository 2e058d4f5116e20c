// Removing a directory with everything below it (recursive RMD), and the
// disk-usage bookkeeping shared with DELE.
#pragma once
#include <cstdint>

#include "server_records.h"

// Removes the directory at path (one trailing '/' allowed) and everything
// in it. 0 when all of it is gone, -1 when anything could not be removed;
// the walk goes on past errors, so what can go does go. Symbolic links are
// removed as links and never followed, the top one included: nothing
// outside the given tree is ever touched. Gives every removed file's bytes
// back to the account's quota.
int DoDeepRemove(Request *pReq, const char *path);
