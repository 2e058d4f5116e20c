#include "upload_files.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <new>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "command_channel.h"
#include "quota_records.h"
#include "rooted_files.h"
#include "worker.h"

static const char kQuotaReached[] = "452 Disk quota reached.\n";
static const char kSeekFailed[] = "550 Seek failed.\n";
static const char kWriteFailed[] = "451 Error writing to file.\n";
static const char kDiskFull[] = "451 Error writing to file (disk full?).\n";

// Temporary names are kUploadTempPrefix, the process id and a number: the
// number makes each one unique within the process, the process id across
// processes (and tells whose a temporary file left behind is).
static unsigned tempCounter = 0;

static bool IsRegular(int fd, struct stat *st) {
  return fstat(fd, st) == 0 && S_ISREG(st->st_mode);
}

// fsync of a directory held as an O_PATH descriptor, which cannot be
// synced itself.
static void SyncDirectory(int dir) {
  int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Whether the upload writes into a temporary name.
static bool HasTemp(const Request *pReq) {
  return pReq->xfer.bufs && pReq->xfer.bufs->uploadTemp[0] != '\0';
}

static void ForgetTemp(Request *pReq) {
  if (HasTemp(pReq)) {
    close(pReq->upload.dir);
    pReq->xfer.bufs->uploadTemp[0] = '\0';
    pReq->xfer.bufs->uploadName[0] = '\0';
  }
  pReq->upload.dir = -1;
  pReq->upload.charged = 0;
}

static int Refuse(Request *pReq, const char *reply, int code) {
  SendFTPstring(pReq, reply);
  return code;
}

// APPE and REST+STOR: the file itself, opened beneath the root.
static int OpenInPlace(Request *pReq, const char *path, bool append,
                       int64_t offset) {
  int flags = O_WRONLY | O_CREAT | O_NONBLOCK | (append ? O_APPEND : 0);
  // A file that exists keeps its mode and owner; a new one gets
  // UploadMode (set below, whatever the umask takes away).
  struct stat before;
  bool created = RootedStat(pReq, path, &before) != 0;
  int fd = RootedOpen(pReq, path, flags, 0600);
  struct stat st;
  if (fd >= 0 && !IsRegular(fd, &st)) {
    close(fd);
    fd = -1;
  }
  if (fd < 0) return Refuse(pReq, Mess550, 550);
  if (created) fchmod(fd, (mode_t)pReq->pConfig->uploadMode);
  if (!append && offset > 0) {
    // REST n + STOR keeps the first n bytes: the file is cut or extended
    // to n, and a gap is stored bytes like any others.
    int64_t growth = offset - (int64_t)st.st_size;
    if (growth > 0 && (uint64_t)growth > QuotaRoom(pReq)) {
      close(fd);
      return Refuse(pReq, kQuotaReached, 452);
    }
    pReq->xfer.file = fd;
    if (ftruncate(fd, (off_t)offset) != 0 ||
        lseek(fd, (off_t)offset, SEEK_SET) == (off_t)-1)
      return Refuse(pReq, kSeekFailed, 550);
    ChargeQuota(pReq, growth);
    return 0;
  }
  pReq->xfer.file = fd;
  return 0;
}

// The directory where the path finally leads (a link inside the root is
// followed to its file) and the file's name there. -1 when the path
// names nothing, or nothing that an upload may replace.
static int ExistingTarget(Request *pReq, const char *path, char *name,
                          size_t nameSize, int64_t *size) {
  int fd = RootedOpen(pReq, path, O_PATH);
  if (fd < 0) return -1;
  struct stat st;
  char proc[64], real[PATH_MAX];
  snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  ssize_t n = IsRegular(fd, &st) ? readlink(proc, real, sizeof real - 1) : -1;
  close(fd);
  if (n <= 0) {
    errno = EISDIR;
    return -1;
  }
  real[n] = '\0';
  char *slash = strrchr(real, '/');
  if (!slash || strlen(slash + 1) >= nameSize) {
    errno = ENAMETOOLONG;
    return -1;
  }
  snprintf(name, nameSize, "%s", slash + 1);
  if (slash == real)
    slash[1] = '\0';
  else
    slash[0] = '\0';
  *size = (int64_t)st.st_size;
  return open(real, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// STOR: a new temporary file beside the target.
static int OpenTemporary(Request *pReq, const char *path) {
  // The names are kept in the transfer's buffers.
  if (!HoldXferBuffers(pReq)) return Refuse(pReq, Mess451, 451);
  char name[NAME_MAX + 1];
  int64_t base = 0;
  int dir = ExistingTarget(pReq, path, name, sizeof name, &base);
  if (dir < 0) {
    if (errno != ENOENT) return Refuse(pReq, Mess550, 550);
    base = 0;
    dir = RootedParent(pReq, path, name, sizeof name);
    if (dir < 0) return Refuse(pReq, Mess550, 550);
  }
  char temp[sizeof pReq->xfer.bufs->uploadTemp];
  snprintf(temp, sizeof temp, "%s%d.%u", kUploadTempPrefix, (int)getpid(),
           ++tempCounter);
  int fd = openat(dir, temp, O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_CLOEXEC,
                  0600);
  if (fd < 0) {
    close(dir);
    return Refuse(pReq, Mess550, 550);
  }
  pReq->xfer.file = fd;
  pReq->upload.dir = dir;
  snprintf(pReq->xfer.bufs->uploadTemp, sizeof pReq->xfer.bufs->uploadTemp, "%s", temp);
  snprintf(pReq->xfer.bufs->uploadName, sizeof pReq->xfer.bufs->uploadName, "%s", name);
  pReq->upload.base = base;
  pReq->upload.charged = 0;
  return 0;
}

int OpenUploadFile(Request *pReq, const char *path, bool append, int64_t offset) {
  AbortUpload(pReq);
  if (append || offset > 0) return OpenInPlace(pReq, path, append, offset);
  return OpenTemporary(pReq, path);
}

int StoreUploadBytes(Request *pReq, const char *data, size_t n,
                     const char **reply) {
  int fd = pReq->xfer.file;
  bool temporary = HasTemp(pReq);
  // Where the bytes land, and how much of the file is counted already: a
  // file in place counts its size, a temporary one what it replaces.
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *reply = kWriteFailed;
    return -1;
  }
  int64_t size = (int64_t)st.st_size;
  int flags = fcntl(fd, F_GETFL);
  off_t at = (flags != -1 && (flags & O_APPEND)) ? (off_t)size : lseek(fd, 0, SEEK_CUR);
  if (at < 0) at = (off_t)size;  // no position (a pipe): bytes go at the end
  int64_t pos = (int64_t)at;
  int64_t counted = temporary ? pReq->upload.base + pReq->upload.charged : size;
  int64_t covered = counted > pos ? counted - pos : 0;
  int64_t growth = pos + (int64_t)n - counted;
  size_t allowed = n;
  uint64_t room = QuotaRoom(pReq);
  if (growth > 0 && (uint64_t)growth > room) {
    uint64_t fit = (uint64_t)covered + room / kDataBufferSize * kDataBufferSize;
    allowed = fit < n ? (size_t)fit : n;
  }
  if (allowed > 0) {
    ssize_t written = write(fd, data, allowed);
    if (written < 0) {
      *reply = kWriteFailed;
      return -1;
    }
    int64_t grew = pos + (int64_t)written - counted;
    if (grew > 0 && temporary) {
      HoldQuota(pReq, grew);
      pReq->upload.charged += grew;
    } else if (grew > 0) {
      ChargeQuota(pReq, grew);
    }
    // A short write is an error in both modes: the rest of the data would
    // be lost without a word.
    if ((size_t)written < allowed) {
      *reply = kDiskFull;
      return -1;
    }
  }
  if (allowed < n) {
    *reply = kQuotaReached;
    return -1;
  }
  return 0;
}

int FinishUpload(Request *pReq) {
  if (!HasTemp(pReq)) return 0;
  const char *name = pReq->xfer.bufs->uploadName;
  const char *temp = pReq->xfer.bufs->uploadTemp;
  struct stat st;
  if (fstat(pReq->xfer.file, &st) != 0) {
    AbortUpload(pReq);
    return -1;
  }
  int64_t stored = (int64_t)st.st_size;
  // What the name holds now: another session may have changed it meanwhile.
  struct stat old;
  int64_t replaced = 0;
  bool replacing = false;
  if (fstatat(pReq->upload.dir, name, &old, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(old.st_mode)) {
      AbortUpload(pReq);
      return -1;
    }
    if (S_ISREG(old.st_mode)) {
      replaced = (int64_t)old.st_size;
      replacing = true;
    }
  }
  int fd = pReq->xfer.file;
  // A replaced file keeps its mode and owner (a file published for a web
  // server stays published); a new one gets UploadMode. Only root can give
  // a file to another owner: otherwise the mode is still kept.
  if (replacing) {
    if (old.st_uid != st.st_uid || old.st_gid != st.st_gid)
      (void)!fchown(fd, old.st_uid, old.st_gid);
    fchmod(fd, old.st_mode & 07777);
  } else {
    fchmod(fd, (mode_t)pReq->pConfig->uploadMode);
  }
  // The data reaches the disk before the name does: a power cut just after
  // the rename must not leave the name with an empty or partial file.
  if (fsync(fd) != 0 || renameat(pReq->upload.dir, temp, pReq->upload.dir, name) != 0) {
    AbortUpload(pReq);
    return -1;
  }
  // And the rename itself is made lasting with its directory.
  SyncDirectory(pReq->upload.dir);
  // Only now are the bytes stored: the record is charged what the name
  // grew by, once, after the rename.
  HoldQuota(pReq, -pReq->upload.charged);
  ChargeQuota(pReq, stored - replaced);
  SaveQuota(pReq);
  ForgetTemp(pReq);
  return 0;
}

void AbortUpload(Request *pReq) {
  // Every transfer ends here: an upload in place (APPE, REST+STOR) was
  // charged buffer by buffer and is written now, whatever the end.
  if (!HasTemp(pReq)) {
    SaveQuota(pReq);
    return;
  }
  unlinkat(pReq->upload.dir, pReq->xfer.bufs->uploadTemp, 0);
  HoldQuota(pReq, -pReq->upload.charged);
  ForgetTemp(pReq);
}

// Whether the process a temporary name was made by has ended: its file is
// then left over from a crash, never to be finished.
static bool LeftOver(const char *name, bool ownAreLive) {
  long pid = strtol(name + sizeof kUploadTempPrefix - 1, nullptr, 10);
  if (pid == (long)getpid()) return !ownAreLive;
  if (pid <= 0) return true;
  return kill((pid_t)pid, 0) != 0 && errno == ESRCH;
}

// Depth-first below the open directory `fd` (closed here). Links are never
// followed; a tree deeper than kDeepest is left alone below that depth.
static int RemoveLeftOversIn(int fd, int depth, bool ownAreLive) {
  static const int kDeepest = 64;
  DIR *dir = fdopendir(fd);
  if (!dir) {
    close(fd);
    return 0;
  }
  int removed = 0;
  while (struct dirent *e = readdir(dir)) {
    const char *name = e->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    struct stat st;
    if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISREG(st.st_mode) && IsUploadTemp(name)) {
      if (LeftOver(name, ownAreLive) && unlinkat(dirfd(dir), name, 0) == 0) removed++;
    } else if (S_ISDIR(st.st_mode) && depth < kDeepest) {
      int sub = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) removed += RemoveLeftOversIn(sub, depth + 1, ownAreLive);
    }
  }
  closedir(dir);
  return removed;
}

int RemoveLeftOverUploads(const char *root, bool ownAreLive) {
  int fd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd < 0 ? 0 : RemoveLeftOversIn(fd, 0, ownAreLive);
}

namespace {
struct Sweep {
  WorkJob job;
  std::string root;
};
void RunSweep(WorkJob *job) {
  // Another account may share the tree: this process's own temporary
  // files there are uploads under way.
  RemoveLeftOverUploads(reinterpret_cast<Sweep *>(job)->root.c_str(), true);
}
void SweepDone(WorkJob *job) { delete reinterpret_cast<Sweep *>(job); }
}  // namespace

void SweepAtFirstLogin(Request *pReq) {
  for (const Request *r = pReq->pConfig->requests; r; r = r->next)
    if (r != pReq && r->login.permissions[kPASS] == '0' &&
        strcmp(r->login.userName, pReq->login.userName) == 0)
      return;  // not the account's first session
  Sweep *s = new (std::nothrow) Sweep;
  if (!s) return;
  s->job.run = RunSweep;
  s->job.done = SweepDone;
  s->root = pReq->login.root;
  // A tree can be large: the walk runs on the worker, never on the loop.
  WorkOn(pReq->pConfig->worker, &s->job);
}
