// Directory listings: LIST (a line per entry in the manner of a Unix long
// listing), NLST (names only) and MLSD (machine-readable facts) over the
// data connection, made a few lines at a time while the data connection
// takes them; MLST answers the facts of one entry on the command
// connection.
#pragma once
#include <sys/types.h>

#include "server_records.h"

// The first reply of a listing.
extern const char kListStarted[];

// The path of a LIST or NLST argument: words beginning with '-' are
// options (ignored), whatever follows them is the path ("" for none).
const char *ListPath(const char *arg);

// Readies the session's data record for a listing of the path in the
// given format: a directory is opened for listing, a file gets its one
// line in the empty buffer, a pattern in the last part ("*.txt") keeps the
// matching names (not for MLSD, which takes a directory). The path is
// resolved like the path of a transfer, with the same guards. Null when
// the listing can start, else the reply that refuses it (the 550 reply for
// what does not exist or leaves the root).
const char *PrepareListing(Request *pReq, const char *path, ListFormat format);

int DoMLST(Request *pReq);

// Opens rootDirectory + cwd for listing: 150, or 451 when it cannot be
// opened (reply queued either way).
int InitDirList(Request *pReq);

// Puts the next lines into the empty transfer buffer: as many whole lines
// as fit, from a bounded number of entries. 0 to go on (the buffer may
// stay empty when every entry looked at was skipped), -1 when the
// directory is done (it is closed then).
int GenerateDirectoryListing(Request *pReq);

// STAT of a directory: its entries as LIST lines, each indented by a
// blank, into out (room bytes, at least a few hundred). Capped, not
// streamed: the lines that fit, from a bounded number of entries, and a
// last line saying so when some are left out. Bytes written, or -1 when
// the directory cannot be opened.
int ListDirectoryLines(Request *pReq, const char *real, char *out, size_t room);

// One LIST line for an entry into out (room bytes), its type and
// permission bits shown from mode: its length, 0 when the line does not
// fit.
int FormatListLine(char *out, size_t room, const char *name, mode_t mode,
                   uint64_t size, time_t mtime);
