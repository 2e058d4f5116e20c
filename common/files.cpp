#include "files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

FileKind Kind(const struct stat &st, int64_t *size, int64_t *mtime) {
  if (size) *size = (int64_t)st.st_size;
  if (mtime) *mtime = (int64_t)st.st_mtime;
  if (S_ISREG(st.st_mode)) return kRegular;
  if (S_ISDIR(st.st_mode)) return kDirectory;
  return kOther;
}

}  // namespace

FileKind StatPath(const char *path, int64_t *size, int64_t *mtime) {
  struct stat st;
  if (stat(path, &st) != 0) return kMissing;
  return Kind(st, size, mtime);
}

FileKind StatIn(int dirFd, const char *name, int64_t *size, int64_t *mtime) {
  struct stat st;
  if (fstatat(dirFd, name, &st, 0) != 0) return kMissing;
  return Kind(st, size, mtime);
}

int JoinPath(char *out, size_t size, const char *a, const char *b) {
  int n = snprintf(out, size, "%s/%s", a, b);
  return (n < 0 || (size_t)n >= size) ? -1 : 0;
}

namespace {

// The whole file write-locked through `fd`. An open-file-description lock
// belongs to the descriptor, so two threads of one process exclude each
// other as two processes do; a kernel without it gets the older
// per-process lock, which is enough for a single-threaded writer.
int LockWhole(int fd) {
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
#ifdef F_OFD_SETLKW
  for (;;) {
    if (fcntl(fd, F_OFD_SETLKW, &lock) == 0) return 0;
    if (errno != EINTR) break;
  }
  if (errno != EINVAL) return -1;
#endif
  for (;;) {
    if (fcntl(fd, F_SETLKW, &lock) == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

int WriteAll(int fd, const unsigned char *bytes, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += (size_t)n;
  }
  return 0;
}

// fsync of the directory holding `path`, which makes a rename in it last.
int SyncParent(const char *path) {
  const char *slash = strrchr(path, '/');
  char dir[4096];
  if (!slash) {
    snprintf(dir, sizeof dir, ".");
  } else if (slash == path) {
    snprintf(dir, sizeof dir, "/");
  } else if ((size_t)(slash - path) < sizeof dir) {
    memcpy(dir, path, (size_t)(slash - path));
    dir[slash - path] = '\0';
  } else {
    return -1;
  }
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int synced = fsync(fd);
  close(fd);
  return synced;
}

}  // namespace

int RewriteSmallFile(const char *path, unsigned char *bytes, size_t size,
                     int (*change)(unsigned char *bytes, long got, void *arg), void *arg) {
  // The new content goes to PATH.new and is renamed over PATH, so a crash
  // leaves the old file or the new one, whole. The lock cannot be taken on
  // PATH itself: the rename puts a new inode under the name, and a process
  // that waited on the old one would then read a file nobody locks. It is
  // taken on PATH.lock, which is never renamed or removed; PATH.new is
  // only ever written under it.
  char lockPath[4096], newPath[4096];
  if (snprintf(lockPath, sizeof lockPath, "%s.lock", path) >= (int)sizeof lockPath ||
      snprintf(newPath, sizeof newPath, "%s.new", path) >= (int)sizeof newPath)
    return -1;
  int lockFd = open(lockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd < 0) return -1;
  int result = -1;
  if (LockWhole(lockFd) == 0) {
    long got = -1;
    struct stat old;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && fstat(fd, &old) != 0) {
      close(fd);
      fd = -1;
      errno = EIO;
    }
    if (fd >= 0) {
      ssize_t n;
      do n = pread(fd, bytes, size, 0);
      while (n < 0 && errno == EINTR);
      got = n;
      close(fd);
    }
    bool readable = fd >= 0 ? got >= 0 : errno == ENOENT;
    int out = -1;
    if (readable && change(bytes, got, arg) == 0)
      out = open(newPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out >= 0 && fd >= 0 && geteuid() == 0 && old.st_uid != 0) {
      // Root (a -recount) leaves the record and its lock to the user the
      // server runs as, who owned the record before.
      (void)!fchown(out, old.st_uid, old.st_gid);
      (void)!fchown(lockFd, old.st_uid, old.st_gid);
    }
    if (out >= 0) {
      // Data on the disk before the name, and the name made lasting by its
      // directory: a power cut leaves the old figure or the new one.
      bool written = WriteAll(out, bytes, size) == 0 && fsync(out) == 0;
      if (close(out) != 0) written = false;
      if (written && rename(newPath, path) == 0 && SyncParent(path) == 0) result = 0;
    }
  }
  close(lockFd);  // the lock goes with the descriptor
  return result;
}
