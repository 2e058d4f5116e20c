// User accounts (accounts/NAME.ini below the start directory) and the
// per-user quota record (accounts/NAME.dsk: quota in force and bytes stored,
// two 4-byte little-endian words).
#pragma once
#include "server_records.h"

struct Ini;

// Reads the account named by argument into the session. 0 when accepted,
// -1 when not (bad name, no account, a refused key, address not allowed).
int OpenAccount(Request *pReq);
int ReadAccount(Request *pReq, Ini *ini);
// Reads every account file below the start directory as a login would
// (any client address allowed), printing each fault with the account's
// name; the number of accounts that could not log in.
int CheckAccountFiles(Server *pConfig);
// Takes the account's shared quota record (quota_records.h), reading it
// from its file for the first session, creating an empty file for a first
// login.
int ReadQuota(Request *pReq);
// Writes the record back, in place; only for a session that holds one.
// 0, or -1 when it cannot be written.
int UpdateQuota(Request *pReq);
// zolf -recount NAME, in the start directory `home`: the bytes below the
// account's root become its record's bytes stored; prints the figures
// before and now. 0, or -1 after saying why.
int RecountAccount(const char *home, const char *name);
