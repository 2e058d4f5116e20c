#include "kept_files.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "beneath.h"
#include "change_watch.h"
#include "event_loop.h"
#include "http_server.h"
#include "inside_root.h"

namespace {

const char kCloseFileFailed[] = "Could not close file.\n";

// Files up to this size are kept: one piece of an answer holds them whole.
const off_t kKeptSize = kBufferSize;
// Watches on one kept file's path at most: the root, the directories
// below it, the file. A deeper path is looked up again per request.
const int kWatchDepth = 10;

struct KeptFile {
  int fd;          // -1: a free place
  int rootFd;
  uint32_t users;  // connections answering from it now
  uint32_t hash;
  uint64_t lastUse;
  time_t usedAt;
  // Forgotten (changed, or its root closed) while lent: no request finds
  // it, and it closes when the last user gives it back.
  bool stale;
  // The watches on its path, root first; 0: not watched, so the path is
  // looked up again beneath the root on every request.
  int watchCount;
  int watches[kWatchDepth];
  // Watched only: the compressed variants beside it, found at codingsAt;
  // -1 not looked for. A change in its directory forgets them with the
  // file, so "none" holds until then; variants found are looked for again
  // after two seconds all the same, as one may be a link whose target
  // changes unseen.
  int codings;
  time_t codingsAt;
  // What the path named when it was opened: an unwatched path that now
  // names another file, or the same file changed in any way (contents,
  // mode, owner, links), is opened afresh.
  struct stat st;
  // The file's bytes (st.st_size of them), read once when it was kept;
  // -1: read from the descriptor instead.
  int64_t byteCount;
  char bytes[kKeptSize];
  // Below the root, without leading '/'; its room grows to the longest
  // name the place has held, so a place reused costs no allocation.
  char *path;
  size_t pathRoom;
  KeptHeader header;
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
  char *path;
  size_t pathRoom;
};
VariantLook looks[kVariantLooks];
bool keptReady = false;
uint64_t useClock = 0;
int watchFd = -1;  // where changes are reported; -1 none

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

// Copies `text` (length bytes) into a name buffer that grows as needed;
// false when out of memory.
bool SetName(char **name, size_t *room, const char *text, size_t length) {
  if (length + 1 > *room) {
    char *bigger = (char *)realloc(*name, length + 1);
    if (!bigger) return false;
    *name = bigger;
    *room = length + 1;
  }
  memcpy(*name, text, length + 1);
  return true;
}

bool SameFile(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool Keepable(const struct stat &st) {
  return S_ISREG(st.st_mode) && st.st_size <= kKeptSize;
}

bool Watches(const KeptFile &k, int wd) {
  for (int i = 0; i < k.watchCount; i++)
    if (k.watches[i] == wd) return true;
  return false;
}

// Ends the watches no kept file needs any more (watches are shared by the
// files of one directory, and by a file kept under two names).
void ForgetWatches(const int *wds, int count) {
  for (int i = 0; i < count; i++) {
    bool used = false;
    for (const KeptFile &k : kept) used = used || (k.fd >= 0 && !k.stale && Watches(k, wds[i]));
    if (!used) RemoveChangeWatch(watchFd, wds[i]);
  }
}

void Drop(KeptFile *k) {
  if (close(k->fd) != 0) fputs(kCloseFileFailed, stderr);
  k->fd = -1;
  k->stale = false;
  k->header.length = 0;
  ForgetWatches(k->watches, k->watchCount);
  k->watchCount = 0;
}

// No request finds it from now on; a lent one closes when given back.
void Forget(KeptFile *k) {
  if (k->users == 0) {
    Drop(k);
    return;
  }
  k->stale = true;
  ForgetWatches(k->watches, k->watchCount);
  k->watchCount = 0;
}

KeptFile *Find(int rootFd, const char *rel, uint32_t hash) {
  for (KeptFile &k : kept)
    if (k.fd >= 0 && !k.stale && k.hash == hash && k.rootFd == rootFd &&
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

// Watches the root, every directory below it on the path `rel`, and the
// file `opened` that the path named when it was opened; then makes sure
// the path still names that very file, so a change made before the
// watches began is not missed (one made since is reported). Fills wds and
// returns their count; 0 when the path cannot be watched whole (a link on
// it, a name like "." or "..", too deep, a file system changed from
// elsewhere), so it is looked up per request.
int WatchPath(int rootFd, char *rel, int fd, const struct stat &opened, int *wds) {
  if (watchFd < 0 || !ChangesAllSeen(fd)) return 0;
  int count = 0;
  bool whole = true;
  for (char *start = rel;;) {
    char *end = strchr(start, '/');
    if (!end) end = start + strlen(start);
    size_t length = (size_t)(end - start);
    if (length == 0 || (length == 1 && start[0] == '.') ||
        (length == 2 && start[0] == '.' && start[1] == '.') || count + 2 > kWatchDepth) {
      whole = false;
      break;
    }
    // The directory holding this name: the root, or the path up to it.
    int wd;
    if (start == rel) {
      wd = AddChangeWatch(watchFd, rootFd, "", true);
    } else {
      start[-1] = '\0';
      wd = AddChangeWatch(watchFd, rootFd, rel, true);
      start[-1] = '/';
    }
    if (wd < 0) {
      whole = false;
      break;
    }
    wds[count++] = wd;
    if (*end == '\0') break;
    start = end + 1;
  }
  if (whole) {
    int wd = AddChangeWatch(watchFd, rootFd, rel, false);
    if (wd >= 0)
      wds[count++] = wd;
    else
      whole = false;
  }
  // Looked up as a request does, and without following a link at its
  // end (the watch is on the name's own file).
  struct stat now, own;
  if (whole && (FstatBeneathAt(rootFd, rel, &now) != 0 || !SameFile(now, opened) ||
                fstatat(rootFd, rel, &own, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(own, opened)))
    whole = false;
  if (whole) return count;
  ForgetWatches(wds, count);
  return 0;
}

KeptFile *LentFile(const Connection *c) {
  for (KeptFile &k : kept)
    if (k.fd == c->decision.file && k.users > 0) return &k;
  return nullptr;
}

void OnChange(void *, int wd) {
  for (KeptFile &k : kept)
    if (k.fd >= 0 && k.watchCount > 0 && (wd < 0 || Watches(k, wd))) Forget(&k);
}

void OnChangesReported(EventLoop *, int fd, void *, int) { ReadChanges(fd, OnChange, nullptr); }

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
      // Unwatched, the path is looked up again beneath the root, like a
      // first open (a directory moved out and linked back is outside
      // it); only the very file opened before is answered from.
      struct stat now;
      if (k->watchCount > 0 ||
          (FstatBeneathAt(c->decision.rootFd, rel, &now) == 0 && SameFile(k->st, now) &&
           Keepable(now))) {
        k->users++;
        k->lastUse = ++useClock;
        k->usedAt = time(nullptr);
        *st = k->st;
        *lent = true;
        return k->fd;
      }
      Forget(k);
    }
  }
  int fd = OpenInRoot(c, c->space->fileName, flags);
  if (fd < 0) return -1;
  if (fstat(fd, st) != 0) {
    close(fd);
    return kNoFileStatus;
  }
  if (!keep || !Keepable(*st)) return fd;
  size_t length = strlen(rel);
  KeptFile *k = Place();
  if (!k || !SetName(&k->path, &k->pathRoom, rel, length)) return fd;
  k->watchCount = WatchPath(c->decision.rootFd, k->path, fd, *st, k->watches);
  ssize_t n = pread(fd, k->bytes, (size_t)st->st_size, 0);
  k->byteCount = n == (ssize_t)st->st_size ? (int64_t)n : -1;
  k->fd = fd;
  k->rootFd = c->decision.rootFd;
  k->users = 1;
  k->hash = hash;
  k->lastUse = ++useClock;
  k->usedAt = time(nullptr);
  k->stale = false;
  k->codings = -1;
  k->st = *st;
  *lent = true;
  return fd;
}

KeptHeader *KeptHeaderOf(const Connection *c) {
  if (c->decision.fileLent != '1') return nullptr;
  KeptFile *k = LentFile(c);
  return k ? &k->header : nullptr;
}

ssize_t ReadLentFile(const Connection *c, char *to, size_t want, off_t offset) {
  const KeptFile *k = LentFile(c);
  if (!k || k->byteCount < 0) return pread(c->decision.file, to, want, offset);
  if (offset >= k->byteCount) return 0;
  if ((int64_t)want > k->byteCount - offset) want = (size_t)(k->byteCount - offset);
  memcpy(to, k->bytes + offset, want);
  return (ssize_t)want;
}

int RememberedVariants(const Connection *c, const struct stat &plain, time_t now) {
  const char *rel = BelowTheRoot(c);
  uint32_t hash = Hash(rel);
  if (keptReady) {
    const KeptFile *k = Find(c->decision.rootFd, rel, hash);
    // A watched file's own memory is the only one that counts for it:
    // none when its directory changed since.
    if (k && k->watchCount > 0 && SameFile(k->st, plain))
      return k->codings == 0 || (k->codings > 0 && now >= k->codingsAt && now - k->codingsAt <= 1)
                 ? k->codings
                 : -1;
  }
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
  if (keptReady) {
    KeptFile *k = Find(c->decision.rootFd, rel, hash);
    if (k && k->watchCount > 0 && SameFile(k->st, plain)) {
      k->codings = codings;
      k->codingsAt = now;
      return;
    }
  }
  VariantLook &v = looks[hash % kVariantLooks];
  if (!SetName(&v.path, &v.pathRoom, rel, strlen(rel))) {
    v.at = 0;
    return;
  }
  v.rootFd = c->decision.rootFd;
  v.hash = hash;
  v.dev = plain.st_dev;
  v.ino = plain.st_ino;
  v.changed = plain.st_ctim;
  v.codings = codings;
  v.at = now;
}

void ReleaseFile(Connection *c) {
  if (c->decision.file < 0) return;
  if (c->decision.fileLent == '1') {
    if (KeptFile *k = LentFile(c)) {
      k->users--;
      if (k->users == 0 && k->stale) Drop(k);
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
    if (k.fd >= 0) Forget(&k);
}

void WatchKeptFiles(EventLoop *loop) {
  if (watchFd >= 0) return;
  watchFd = OpenChangeWatch();
  if (watchFd < 0) return;
  if (WatchFd(loop, watchFd, kLoopReadable, OnChangesReported, nullptr) != 0) {
    close(watchFd);
    watchFd = -1;
    return;
  }
  SetFirstFd(loop, watchFd);
}

void StopWatchingKeptFiles(EventLoop *loop) {
  if (watchFd < 0) return;
  // Kept files still watched are looked up per request from now on.
  for (KeptFile &k : kept)
    if (k.fd >= 0 && k.watchCount > 0) Forget(&k);
  UnwatchFd(loop, watchFd);
  close(watchFd);
  watchFd = -1;
}
