// The disk quota of an account: one record per account, shared by every
// session logged in to it, so that what one session stores or deletes is
// seen by the others at once. The record is read from accounts/NAME.dsk
// (the quota last in force and the bytes stored, two 4-byte little-endian
// words held at UINT32_MAX, then the bytes stored as an 8-byte
// little-endian number; a record of the first 8 bytes alone, as older
// versions wrote, is read too) at every login. The record in the file is
// the one figure several zolf processes share: each keeps the changes it
// made since it last wrote, and adds them to what the file holds then
// under a lock (see RewriteSmallFile), once per command that stored or
// removed bytes, not once per buffer.
#pragma once
#include <cstdint>

#include "server_records.h"

struct QuotaRecord {
  char userName[kUserNameSize];
  char path[kHomeSize + 64];  // the account's .dsk file
  uint64_t quotaLimit;        // quota in force, bytes
  uint64_t diskUsage;         // bytes the account stores: the file's
                              // figure when last read, plus the changes
                              // made here since (unsaved or being written)
  int64_t unsaved;            // changes made here, not yet in the file
  uint64_t held;              // bytes of uploads under way in temporary
                              // files: they take room, but are not stored
  uint64_t fileLimit;         // the quota word the file holds
  Server *server;             // whose list holds the record
  bool saving;                // a write is under way on the worker
  bool again;                 // and another is due when it is done
  int sessions;               // sessions holding the record
  QuotaRecord *next;
};

// The record of the session's account (pReq->login.userName), read from its file
// (created empty for a first login), shared with the other sessions of the
// account; pReq->login.quota then points at it. The limit is the account's
// DiskQuota= as this login read it, for every session of the account. 0, or -1 when the file cannot be created or read (the
// session goes on without a quota).
int AttachQuota(Request *pReq);
// The session lets go of its record, writing what it changed; the last one
// frees it.
void DetachQuota(Request *pReq);
// Adds the record's unsaved changes to the file's figure (and writes the
// quota in force), then takes the file's figure as the one in force: what
// other processes stored meanwhile is seen from then on. Never creates the
// file. The write runs on the server's worker (in place without one). 0
// (also when there was nothing to write, or the write was handed to the
// worker) or -1 when it failed in place; failed changes are kept for the
// next time.
int WriteQuota(QuotaRecord *record);

// zolf -recount: the bytes of the regular files below `root` (links not
// followed, upload temporary files left out) become the bytes stored of
// the record at `path` (created when missing), under an fcntl lock, the
// quota word kept. 0 with the figures before and now, or -1.
int RecountRecord(const char *path, const char *root, uint64_t *before, uint64_t *now);

// A record of the given values tied to no file, for a session whose
// account is made up (the fuzz target, unit tests). Null without memory.
QuotaRecord *GiveQuota(Request *pReq, uint64_t limit, uint64_t usage);

// Quota in force and bytes stored, 0 for a session without a record.
uint64_t QuotaLimit(const Request *pReq);
uint64_t DiskUsage(const Request *pReq);
// Bytes the account may still add (UINT64_MAX without a quota).
uint64_t QuotaRoom(const Request *pReq);
// Stored bytes grew (delta > 0) or shrank; usage stays within 0 and its
// 64-bit range. Only counted here: SaveQuota writes it. Nothing without a
// quota.
void ChargeQuota(Request *pReq, int64_t delta);
// Bytes written to (delta > 0) or dropped from an upload's temporary file:
// counted against the room, never written to the file, so a process killed
// mid-upload leaves no charge for a file the next start removes.
void HoldQuota(Request *pReq, int64_t delta);
// WriteQuota for the session's record, at the end of a command that
// changed it.
int SaveQuota(Request *pReq);
