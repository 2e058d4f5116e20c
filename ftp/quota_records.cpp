#include "quota_records.h"

#include <cstdio>
#include <dirent.h>
#include <sys/stat.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "rooted_files.h"

static const char accountsdir[] = "accounts";

static void PutWord(unsigned char *p, uint64_t v) {
  // The file holds 32-bit words: a larger count is kept at their limit.
  uint32_t w = v > UINT32_MAX ? UINT32_MAX : (uint32_t)v;
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

int AttachQuota(Request *pReq) {
  if (pReq->login.quota) return 0;
  Server *pConfig = pReq->pConfig;
  QuotaRecord *record = FindRecord(pConfig, pReq->login.userName);
  if (record) {
    // The account file speaks for the limit at every login: a quota raised
    // there applies from the next login on, for every session.
    record->quotaLimit = pReq->login.diskQuota;
    record->sessions++;
    pReq->login.quota = record;
    return 0;
  }
  record = (QuotaRecord *)calloc(1, sizeof(QuotaRecord));
  if (!record) return -1;
  snprintf(record->userName, sizeof record->userName, "%s", pReq->login.userName);
  int n = pConfig->quotaDir[0] != '\0'
              ? snprintf(record->path, sizeof record->path, "%s/%s.dsk", pConfig->quotaDir,
                         pReq->login.userName)
              : snprintf(record->path, sizeof record->path, "%s/%s/%s.dsk",
                         pConfig->homeDirectory, accountsdir, pReq->login.userName);
  int fd = -1;
  if (n > 0 && (size_t)n < sizeof record->path)
    fd = open(record->path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  unsigned char words[kRecordSize];
  ssize_t got = fd < 0 ? -1 : pread(fd, words, sizeof words, 0);
  if (fd >= 0) close(fd);
  if (got < 0) {
    free(record);
    return -1;
  }
  // The limit is the account file's DiskQuota=; the record keeps the bytes
  // stored (its first word, the quota last in force, is still written for
  // the tools that read it).
  record->quotaLimit = pReq->login.diskQuota;
  record->diskUsage = GetStored(words, got);
  record->sessions = 1;
  record->next = pConfig->quotas;
  pConfig->quotas = record;
  pReq->login.quota = record;
  return 0;
}

int WriteQuota(const QuotaRecord *record) {
  // A record made without a file (GiveQuota) has nowhere to go.
  if (!record || record->path[0] == '\0') return -1;
  int fd = open(record->path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  unsigned char words[kRecordSize];
  PutWord(words, record->quotaLimit);
  PutWord(words + 4, record->diskUsage);
  PutWord(words + 8, record->diskUsage & UINT32_MAX);
  PutWord(words + 12, record->diskUsage >> 32);
  // Overwritten in place: a failed write leaves the old record, never an
  // emptied file.
  ssize_t n = pwrite(fd, words, sizeof words, 0);
  int closed = close(fd);
  return (n == (ssize_t)sizeof words && closed == 0) ? 0 : -1;
}

void DetachQuota(Request *pReq) {
  QuotaRecord *record = pReq->login.quota;
  if (!record) return;
  pReq->login.quota = nullptr;
  WriteQuota(record);
  if (--record->sessions > 0) return;
  Server *pConfig = pReq->pConfig;
  for (QuotaRecord **link = &pConfig->quotas; *link; link = &(*link)->next)
    if (*link == record) {
      *link = record->next;
      break;
    }
  free(record);
}

QuotaRecord *GiveQuota(Request *pReq, uint64_t limit, uint64_t usage) {
  DetachQuota(pReq);
  QuotaRecord *record = (QuotaRecord *)calloc(1, sizeof(QuotaRecord));
  if (!record) return nullptr;
  snprintf(record->userName, sizeof record->userName, "%s", pReq->login.userName);
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
  return r->quotaLimit > r->diskUsage ? r->quotaLimit - r->diskUsage : 0;
}

void ChargeQuota(Request *pReq, int64_t delta) {
  QuotaRecord *r = pReq->login.quota;
  if (!r || r->quotaLimit == 0 || delta == 0) return;
  if (delta > 0) {
    uint64_t up = (uint64_t)delta;
    r->diskUsage = up > UINT64_MAX - r->diskUsage ? UINT64_MAX : r->diskUsage + up;
  } else {
    uint64_t down = (uint64_t)(-(delta + 1)) + 1;
    r->diskUsage = down >= r->diskUsage ? 0 : r->diskUsage - down;
  }
  WriteQuota(r);
}

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

int RecountRecord(const char *path, const char *root, uint64_t *before, uint64_t *now) {
  int rootFd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) return -1;
  *now = BytesIn(rootFd, 0);
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  // Read, change and write under one lock: a running zolf on this host, or
  // on another sharing the records, does the same and never sees half.
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  unsigned char words[kRecordSize] = {};
  ssize_t got = -1;
  if (fcntl(fd, F_SETLKW, &lock) == 0) got = pread(fd, words, sizeof words, 0);
  int result = -1;
  if (got >= 0) {
    *before = GetStored(words, got);
    PutWord(words + 4, *now);
    PutWord(words + 8, *now & UINT32_MAX);
    PutWord(words + 12, *now >> 32);
    if (pwrite(fd, words, sizeof words, 0) == (ssize_t)sizeof words && fsync(fd) == 0) result = 0;
  }
  if (close(fd) != 0) result = -1;  // the lock goes with the descriptor
  return result;
}
