#include "kept_files.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "beneath.h"
#include "http_server.h"
#include "inside_root.h"

namespace {

const char kCloseFileFailed[] = "Could not close file.\n";

// Files up to this size are kept: one piece of an answer holds them whole.
const off_t kKeptSize = kBufferSize;

struct KeptFile {
  int fd;          // -1: a free place
  int rootFd;
  uint32_t users;  // connections answering from it now
  uint32_t hash;
  uint64_t lastUse;
  time_t usedAt;
  // What the path named when it was opened: a path that now names another
  // file, or the same file changed in any way (contents, mode, owner,
  // links), is opened afresh, so the answer is what a fresh open gives.
  dev_t dev;
  ino_t ino;
  struct timespec changed;
  char path[kFileNameSize];  // below the root, without leading '/'
};

KeptFile kept[kKeptFiles];

// What the last look for compressed variants beside a file found, one
// place per hash value: a path whose place another took is looked at
// afresh, which costs a look and nothing else.
const uint32_t kVariantLooks = 64;
struct VariantLook {
  time_t at;  // 0: never looked
  int rootFd;
  uint32_t hash;
  int codings;
  // The plain file looked beside: another file there, or the same one
  // changed, is looked at afresh.
  dev_t dev;
  ino_t ino;
  struct timespec changed;
  char path[kFileNameSize];
};
VariantLook looks[kVariantLooks];
bool keptReady = false;
uint64_t useClock = 0;

void Ready() {
  if (keptReady) return;
  for (KeptFile &k : kept) k.fd = -1;
  keptReady = true;
}

uint32_t Hash(const char *text) {
  uint32_t h = 2166136261u;
  for (; *text; text++) h = (h ^ (unsigned char)*text) * 16777619u;
  return h;
}

bool SameFile(const KeptFile &k, const struct stat &st) {
  return k.dev == st.st_dev && k.ino == st.st_ino &&
         k.changed.tv_sec == st.st_ctim.tv_sec &&
         k.changed.tv_nsec == st.st_ctim.tv_nsec;
}

bool Keepable(const struct stat &st) {
  return S_ISREG(st.st_mode) && st.st_size <= kKeptSize;
}

void Drop(KeptFile *k) {
  if (close(k->fd) != 0) fputs(kCloseFileFailed, stderr);
  k->fd = -1;
}

KeptFile *Find(int rootFd, const char *rel, uint32_t hash) {
  for (KeptFile &k : kept)
    if (k.fd >= 0 && k.hash == hash && k.rootFd == rootFd &&
        strcmp(k.path, rel) == 0)
      return &k;
  return nullptr;
}

// A free place, or the one used longest ago that nobody uses now; null
// when every place is lent out.
KeptFile *Place() {
  KeptFile *oldest = nullptr;
  for (KeptFile &k : kept) {
    if (k.fd < 0) return &k;
    if (k.users == 0 && (!oldest || k.lastUse < oldest->lastUse)) oldest = &k;
  }
  if (oldest) Drop(oldest);
  return oldest;
}

// c->fileName below the request's root, without leading '/'.
const char *BelowTheRoot(const Connection *c) {
  size_t rootLength = strlen(c->decision.root);
  bool inRoot = strncmp(c->space->fileName, c->decision.root, rootLength) == 0;
  const char *rel = inRoot ? c->space->fileName + rootLength : "";
  while (*rel == '/') rel++;
  return rel;
}

}  // namespace

int OpenForAnswer(Connection *c, int flags, struct stat *st, bool *lent) {
  *lent = false;
  const char *rel = BelowTheRoot(c);
  // Only where roots are held open and a loop runs (the fuzz targets and
  // unit tests look at every descriptor a request leaves behind).
  bool keep = c->decision.rootFd >= 0 && c->server->loop && *rel != '\0';
  uint32_t hash = keep ? Hash(rel) : 0;
  if (keep) {
    Ready();
    if (KeptFile *k = Find(c->decision.rootFd, rel, hash)) {
      // The path is looked up again beneath the root, like a first open
      // (a directory moved out and linked back is outside it); only the
      // very file opened before is answered from.
      struct stat now;
      if (FstatBeneathAt(c->decision.rootFd, rel, &now) == 0 && SameFile(*k, now) &&
          Keepable(now)) {
        k->users++;
        k->lastUse = ++useClock;
        k->usedAt = time(nullptr);
        *st = now;
        *lent = true;
        return k->fd;
      }
      if (k->users == 0) Drop(k);
    }
  }
  int fd = OpenInRoot(c, c->space->fileName, flags);
  if (fd < 0) return -1;
  if (fstat(fd, st) != 0) {
    close(fd);
    return kNoFileStatus;
  }
  if (!keep || !Keepable(*st) || Find(c->decision.rootFd, rel, hash)) return fd;
  KeptFile *k = Place();
  if (!k) return fd;
  k->fd = fd;
  k->rootFd = c->decision.rootFd;
  k->users = 1;
  k->hash = hash;
  k->lastUse = ++useClock;
  k->usedAt = time(nullptr);
  k->dev = st->st_dev;
  k->ino = st->st_ino;
  k->changed = st->st_ctim;
  memcpy(k->path, rel, strlen(rel) + 1);
  *lent = true;
  return fd;
}

int RememberedVariants(const Connection *c, const struct stat &plain, time_t now) {
  const char *rel = BelowTheRoot(c);
  uint32_t hash = Hash(rel);
  const VariantLook &v = looks[hash % kVariantLooks];
  if (v.at == 0 || now < v.at || now - v.at > 1 || v.hash != hash ||
      v.rootFd != c->decision.rootFd || v.dev != plain.st_dev || v.ino != plain.st_ino ||
      v.changed.tv_sec != plain.st_ctim.tv_sec || v.changed.tv_nsec != plain.st_ctim.tv_nsec ||
      strcmp(v.path, rel) != 0)
    return -1;
  return v.codings;
}

void RememberVariants(const Connection *c, const struct stat &plain, int codings,
                      time_t now) {
  const char *rel = BelowTheRoot(c);
  uint32_t hash = Hash(rel);
  size_t length = strlen(rel);
  if (length >= sizeof looks[0].path) return;
  VariantLook &v = looks[hash % kVariantLooks];
  v.rootFd = c->decision.rootFd;
  v.hash = hash;
  v.dev = plain.st_dev;
  v.ino = plain.st_ino;
  v.changed = plain.st_ctim;
  v.codings = codings;
  v.at = now;
  memcpy(v.path, rel, length + 1);
}

void ReleaseFile(Connection *c) {
  if (c->decision.file < 0) return;
  if (c->decision.fileLent == '1') {
    for (KeptFile &k : kept) {
      if (k.fd != c->decision.file || k.users == 0) continue;
      k.users--;
      break;
    }
  } else if (close(c->decision.file) != 0) {
    fputs(kCloseFileFailed, stderr);
  }
  c->decision.file = -1;
  c->decision.fileLent = '0';
}

void ExpireKeptFiles(time_t before) {
  if (!keptReady) return;
  for (KeptFile &k : kept)
    if (k.fd >= 0 && k.users == 0 && k.usedAt < before) Drop(&k);
}

void CloseKeptFiles() {
  if (!keptReady) return;
  for (KeptFile &k : kept)
    if (k.fd >= 0 && k.users == 0) Drop(&k);
}
