// LIST: the current directory, a line per entry in the manner of a Unix
// long listing, made a few lines at a time while the data connection takes
// them.
#pragma once
#include "server_records.h"

// The LIST handler: InitDirList, and on a refusal no data connection
// survives.
int DoLIST(Request *pReq);

// Opens rootDirectory + cwd for listing: 150, or 451 when it cannot be
// opened (reply queued either way).
int InitDirList(Request *pReq);

// Puts the next lines into the empty transfer buffer: as many whole lines
// as fit, from a bounded number of entries. 0 to go on (the buffer may
// stay empty when every entry looked at was skipped), -1 when the
// directory is done (it is closed then).
int GenerateDirectoryListing(Request *pReq);

// One listing line for an entry into out (room bytes): its length, 0 when
// the entry gets no line (neither a directory nor a regular file, or the
// line does not fit).
int FormatListLine(char *out, size_t room, const char *name, bool directory,
                   uint64_t size, time_t mtime);
