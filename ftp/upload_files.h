// The file an upload writes, and what it costs the account.
//
// STOR without REST writes into a temporary name in the target's own
// directory and renames it over the target only when the transfer ends
// well: an upload that fails (quota reached, a write error, ABOR, a new
// PASV or PORT) removes the temporary file and leaves the old file as it
// was. The file is flushed to the disk before the rename and the directory
// after it, so a crash leaves the old file or the new one, whole. A new
// file gets UploadMode; a replaced or extended one keeps its mode and
// owner. APPE and REST+STOR write in place. Every upload is charged the
// growth of what is stored under the name (new size minus old size), so a
// REST far behind the end costs its whole gap.
#pragma once
#include <cstddef>
#include <cstdint>

#include "server_records.h"

// Opens the file for an upload to the real path: in place for append or an
// offset (> 0, the file then cut or extended to it), else a new temporary
// file. 0 with dataFile set, or the code of the reply queued (550 when the
// name cannot be written inside the root, 452 when the offset alone would
// cross the quota, 550 "Seek failed" as before).
int OpenUploadFile(Request *pReq, const char *path, bool append, int64_t offset);

// Writes received bytes to the upload's file, charging their growth. Bytes
// go in whole buffers of 2048 while the growth fits the quota; the first
// buffer that would cross it is not written. Returns 0, or -1 with *reply
// pointing at the failure's final reply (452 quota, 451 write errors).
int StoreUploadBytes(Request *pReq, const char *data, size_t n,
                     const char **reply);

// The upload ended well: a temporary file takes the target's name, and the
// quota is settled against what the name held at that moment. 0, or -1
// when the rename failed (the temporary file is then removed). Nothing to
// do for an upload in place.
int FinishUpload(Request *pReq);
// The upload failed or was dropped: a temporary file is removed and its
// charge given back. Harmless when there is none.
void AbortUpload(Request *pReq);
// Removes the temporary files of uploads a crash left below `root` (those
// of processes no longer running, and this process's own unless
// `ownAreLive`); the number removed.
int RemoveLeftOverUploads(const char *root, bool ownAreLive);
// The first session of an account has logged in: its tree is swept the
// same way on the worker (in place without one).
void SweepAtFirstLogin(Request *pReq);
