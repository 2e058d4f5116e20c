// Directory listings: LIST (a line per entry in the manner of a Unix long
// listing), NLST (names only) and MLSD (machine-readable facts) over the
// data connection, made a few lines at a time while the data connection
// takes them; MLST answers the facts of one entry on the command
// connection.
#pragma once
#include <sys/types.h>

#include "server_records.h"

// LIST and NLST take options (words beginning with '-', ignored) and a
// path: a directory is listed, a file gives its one line, a pattern in the
// last part ("*.txt") keeps the matching names. MLSD takes a directory.
// What does not exist or leaves the root: 550, no 150, and no data
// connection survives.
int DoLIST(Request *pReq);
int DoNLST(Request *pReq);
int DoMLSD(Request *pReq);
int DoMLST(Request *pReq);

// Opens rootDirectory + cwd for listing: 150, or 451 when it cannot be
// opened (reply queued either way).
int InitDirList(Request *pReq);

// Puts the next lines into the empty transfer buffer: as many whole lines
// as fit, from a bounded number of entries. 0 to go on (the buffer may
// stay empty when every entry looked at was skipped), -1 when the
// directory is done (it is closed then).
int GenerateDirectoryListing(Request *pReq);

// One LIST line for an entry into out (room bytes), its type and
// permission bits shown from mode: its length, 0 when the line does not
// fit.
int FormatListLine(char *out, size_t room, const char *name, mode_t mode,
                   uint64_t size, time_t mtime);
