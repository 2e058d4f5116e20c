#include "quota_records.h"

#include <cstdio>
#include <dirent.h>
#include <sys/stat.h>
#include <cstdlib>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <unistd.h>

#include "files.h"
#include "rooted_files.h"
#include "worker.h"

static const char accountsdir[] = "accounts";

// The file holds 32-bit words: a larger count is kept at their limit.
static uint32_t Held(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : (uint32_t)v; }

static void PutWord(unsigned char *p, uint64_t v) {
  uint32_t w = Held(v);
  for (int i = 0; i < 4; i++) p[i] = (unsigned char)(w >> (8 * i));
}

static uint32_t GetWord(const unsigned char *p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 |
         (uint32_t)p[3] << 24;
}

// The record: the two 32-bit words older versions read and write (quota,
// bytes stored, each held at UINT32_MAX), then the bytes stored again as a
// 64-bit little-endian number, which is right beyond 4 GiB.
enum { kOldRecordSize = 8, kRecordSize = 16 };

static uint64_t GetStored(const unsigned char *words, ssize_t got) {
  if (got < kOldRecordSize) return 0;  // first login, or a cut record
  uint32_t old = GetWord(words + 4);
  if (got < kRecordSize) return old;
  uint64_t wide = (uint64_t)GetWord(words + 8) | (uint64_t)GetWord(words + 12) << 32;
  // An older zolf that wrote its 8 bytes since left the wide number
  // behind: the word it wrote is then the one to believe.
  uint32_t held = wide > UINT32_MAX ? UINT32_MAX : (uint32_t)wide;
  return held == old ? wide : old;
}

static QuotaRecord *FindRecord(Server *pConfig, const char *userName) {
  for (QuotaRecord *r = pConfig->quotas; r; r = r->next)
    if (strcmp(r->userName, userName) == 0) return r;
  return nullptr;
}

// `base` moved by `delta`, kept within 0 and the 64-bit range.
static uint64_t Moved(uint64_t base, int64_t delta) {
  if (delta >= 0) {
    uint64_t up = (uint64_t)delta;
    return up > UINT64_MAX - base ? UINT64_MAX : base + up;
  }
  uint64_t down = (uint64_t)(-(delta + 1)) + 1;
  return down >= base ? 0 : base - down;
}

static void PutRecord(unsigned char *words, uint64_t limit, uint64_t stored) {
  PutWord(words, limit);
  PutWord(words + 4, stored);
  PutWord(words + 8, stored & UINT32_MAX);
  PutWord(words + 12, stored >> 32);
}

int AttachQuota(Request *pReq) {
  if (pReq->login.quota) return 0;
  Server *pConfig = pReq->pConfig;
  QuotaRecord *record = FindRecord(pConfig, pReq->login.userName);
  bool known = record != nullptr;
  if (!known) {
    record = (QuotaRecord *)calloc(1, sizeof(QuotaRecord));
    if (!record) return -1;
    snprintf(record->userName, sizeof record->userName, "%s", pReq->login.userName);
    record->server = pConfig;
    int n = pConfig->quotaDir[0] != '\0'
                ? snprintf(record->path, sizeof record->path, "%s/%s.dsk", pConfig->quotaDir,
                           pReq->login.userName)
                : snprintf(record->path, sizeof record->path, "%s/%s/%s.dsk",
                           pConfig->homeDirectory, accountsdir, pReq->login.userName);
    if (n <= 0 || (size_t)n >= sizeof record->path) record->path[0] = '\0';
  }
  // Read at every login, not only the first: another zolf sharing the
  // records may have changed the figure since. The file is only ever
  // replaced whole by a rename, so it is read without the lock.
  int fd = record->path[0] == '\0' ? -1 : open(record->path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  unsigned char words[kRecordSize];
  ssize_t got = fd < 0 ? -1 : pread(fd, words, sizeof words, 0);
  if (fd >= 0) close(fd);
  if (got < 0 && !known) {
    free(record);
    return -1;
  }
  // While a write is under way the figure here is the better one.
  if (got >= 0 && !record->saving) {
    record->diskUsage = Moved(GetStored(words, got), record->unsaved);
    record->fileLimit = got >= 4 ? GetWord(words) : 0;
  }
  // The limit is the account file's DiskQuota=: a quota raised there
  // applies from the next login on, for every session of the account. The
  // record keeps the bytes stored (its first word, the quota last in
  // force, is still written for the tools that read it).
  record->quotaLimit = pReq->login.diskQuota;
  record->sessions++;
  if (!known) {
    record->next = pConfig->quotas;
    pConfig->quotas = record;
  }
  pReq->login.quota = record;
  return 0;
}

namespace {
struct RecordChange {
  int64_t delta;
  uint64_t limit;
  uint64_t stored;  // the figure written
};
}  // namespace

static int ApplyChange(unsigned char *words, long got, void *arg) {
  // A record removed meanwhile is not made again from a partial figure:
  // -recount makes it whole.
  if (got < 0) return -1;
  RecordChange *c = static_cast<RecordChange *>(arg);
  c->stored = Moved(GetStored(words, got), c->delta);
  PutRecord(words, c->limit, c->stored);
  return 0;
}

namespace {
// A write of a record handed to the worker: the lock may have to be
// waited for (another zolf, a -recount) and the two fsyncs take
// milliseconds, none of it on the loop. The record stays while its write
// is under way (`saving`), even after its last session.
struct RecordSave {
  WorkJob job;
  QuotaRecord *record;
  RecordChange change;
  bool ran;
  int result;
};
}  // namespace

static void RunSave(WorkJob *job) {
  RecordSave *s = reinterpret_cast<RecordSave *>(job);
  unsigned char words[kRecordSize];
  // The path is set when the record is made and never changed after.
  s->result = RewriteSmallFile(s->record->path, words, sizeof words, ApplyChange, &s->change);
  s->ran = true;
}

// The record goes once no session holds it and no write of it is under way.
static void ReleaseIfUnused(QuotaRecord *record) {
  if (record->sessions > 0 || record->saving) return;
  Server *pConfig = record->server;
  for (QuotaRecord **link = &pConfig->quotas; *link; link = &(*link)->next)
    if (*link == record) {
      *link = record->next;
      break;
    }
  free(record);
}

static void SaveDone(WorkJob *job) {
  RecordSave *s = reinterpret_cast<RecordSave *>(job);
  // Handed back unrun when the server stops: written now, in place.
  if (!s->ran) RunSave(job);
  QuotaRecord *r = s->record;
  int result = s->result;
  RecordChange change = s->change;
  delete s;
  r->saving = false;
  if (result == 0) {
    // The file's figure holds what other processes stored meanwhile; the
    // changes made here since the write began are still to come.
    r->fileLimit = Held(change.limit);
    r->diskUsage = Moved(change.stored, r->unsaved);
  } else {
    r->unsaved += change.delta;  // tried again with the next write
  }
  if (r->again) {
    r->again = false;
    // Held through the next write: done in place (the worker is stopping)
    // it ends in this function again, which must not free the record
    // under this call.
    r->sessions++;
    WriteQuota(r);
    r->sessions--;
  }
  ReleaseIfUnused(r);
}

int WriteQuota(QuotaRecord *record) {
  // A record made without a file (GiveQuota) has nowhere to go.
  if (!record || record->path[0] == '\0') return -1;
  // One write at a time per record: the next one starts when it is done,
  // with every change made meanwhile.
  if (record->saving) {
    record->again = true;
    return 0;
  }
  if (record->unsaved == 0 && record->fileLimit == Held(record->quotaLimit)) return 0;
  RecordSave *s = new (std::nothrow) RecordSave;
  if (!s) return -1;
  s->job.run = RunSave;
  s->job.done = SaveDone;
  s->record = record;
  s->change = {record->unsaved, record->quotaLimit, 0};
  s->ran = false;
  s->result = -1;
  record->unsaved = 0;
  record->saving = true;
  Worker *worker = record->server->worker;
  // Without a worker (tools, tests) the write is over before WorkOn
  // returns, and its result is known.
  bool inPlace = worker == nullptr;
  WorkOn(worker, &s->job);
  // (A session still holds the record here, so it was not freed.)
  bool written = record->unsaved == 0 && record->fileLimit == Held(record->quotaLimit);
  return inPlace && !written ? -1 : 0;
}

void DetachQuota(Request *pReq) {
  QuotaRecord *record = pReq->login.quota;
  if (!record) return;
  pReq->login.quota = nullptr;
  WriteQuota(record);
  record->sessions--;
  ReleaseIfUnused(record);
}

QuotaRecord *GiveQuota(Request *pReq, uint64_t limit, uint64_t usage) {
  DetachQuota(pReq);
  QuotaRecord *record = (QuotaRecord *)calloc(1, sizeof(QuotaRecord));
  if (!record) return nullptr;
  snprintf(record->userName, sizeof record->userName, "%s", pReq->login.userName);
  record->server = pReq->pConfig;
  record->quotaLimit = limit;
  record->diskUsage = usage;
  record->sessions = 1;
  record->next = pReq->pConfig->quotas;
  pReq->pConfig->quotas = record;
  pReq->login.quota = record;
  return record;
}

uint64_t QuotaLimit(const Request *pReq) {
  return pReq->login.quota ? pReq->login.quota->quotaLimit : 0;
}

uint64_t DiskUsage(const Request *pReq) {
  return pReq->login.quota ? pReq->login.quota->diskUsage : 0;
}

uint64_t QuotaRoom(const Request *pReq) {
  const QuotaRecord *r = pReq->login.quota;
  if (!r || r->quotaLimit == 0) return UINT64_MAX;
  uint64_t taken = Moved(r->diskUsage, r->held > INT64_MAX ? INT64_MAX : (int64_t)r->held);
  return r->quotaLimit > taken ? r->quotaLimit - taken : 0;
}

void ChargeQuota(Request *pReq, int64_t delta) {
  QuotaRecord *r = pReq->login.quota;
  if (!r || r->quotaLimit == 0 || delta == 0) return;
  uint64_t before = r->diskUsage;
  r->diskUsage = Moved(before, delta);
  // What the file is to be moved by: the change as it held here.
  int64_t moved = r->diskUsage >= before ? (int64_t)(r->diskUsage - before)
                                         : -(int64_t)(before - r->diskUsage);
  r->unsaved += moved;
}

void HoldQuota(Request *pReq, int64_t delta) {
  QuotaRecord *r = pReq->login.quota;
  if (!r || r->quotaLimit == 0 || delta == 0) return;
  r->held = Moved(r->held, delta);
}

int SaveQuota(Request *pReq) { return WriteQuota(pReq->login.quota); }

// Bytes of the regular files below the open directory `fd` (closed here).
static uint64_t BytesIn(int fd, int depth) {
  static const int kDeepest = 64;
  DIR *dir = fdopendir(fd);
  if (!dir) {
    close(fd);
    return 0;
  }
  uint64_t total = 0;
  while (struct dirent *e = readdir(dir)) {
    const char *name = e->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || IsUploadTemp(name)) continue;
    struct stat st;
    if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISREG(st.st_mode)) {
      total += (uint64_t)st.st_size;
    } else if (S_ISDIR(st.st_mode) && depth < kDeepest) {
      int sub = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) total += BytesIn(sub, depth + 1);
    }
  }
  closedir(dir);
  return total;
}

namespace {
struct Recount {
  uint64_t now;
  uint64_t before;
};
}  // namespace

static int PutRecount(unsigned char *words, long got, void *arg) {
  Recount *r = static_cast<Recount *>(arg);
  // A missing record is made; a present one keeps its quota word.
  if (got < 0) got = 0;
  r->before = GetStored(words, got);
  uint32_t limit = got >= 4 ? GetWord(words) : 0;
  PutRecord(words, limit, r->now);
  return 0;
}

int RecountRecord(const char *path, const char *root, uint64_t *before, uint64_t *now) {
  int rootFd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) return -1;
  // The walk comes before the lock: a running zolf never waits for it.
  Recount r = {BytesIn(rootFd, 0), 0};
  unsigned char words[kRecordSize];
  if (RewriteSmallFile(path, words, sizeof words, PutRecount, &r) != 0) return -1;
  *before = r.before;
  *now = r.now;
  return 0;
}
