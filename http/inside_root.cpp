#include "inside_root.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "beneath.h"
#include "http_server.h"

namespace {

// The part of path below the root; null when path does not begin with it.
const char *BelowRoot(const Connection *c, const char *path) {
  if (!c->decision.root) return nullptr;
  size_t n = strlen(c->decision.root);
  if (strncmp(path, c->decision.root, n) != 0) return nullptr;
  return path + n;
}

}  // namespace

int OpenInRoot(const Connection *c, const char *path, int flags) {
  const char *rel = BelowRoot(c, path);
  if (!rel) {
    errno = ENOENT;
    return -1;
  }
  int fd = c->decision.rootFd >= 0 ? OpenBeneathAt(c->decision.rootFd, rel, flags)
                          : OpenBeneath(c->decision.root, rel, flags);
  // A way out of the root is no way at all.
  if (fd < 0 && errno == EXDEV) errno = ENOENT;
  return fd;
}

FileKind StatInRoot(const Connection *c, const char *path, int64_t *size,
                    int64_t *mtime) {
  const char *rel = BelowRoot(c, path);
  if (!rel) return kMissing;
  return c->decision.rootFd >= 0 ? StatBeneathAt(c->decision.rootFd, rel, size, mtime)
                        : StatBeneath(c->decision.root, rel, size, mtime);
}

bool ReadableInRoot(const Connection *c, const char *path) {
  // O_NONBLOCK: a FIFO must not stall the loop while it is only looked at.
  int fd = OpenInRoot(c, path, O_RDONLY | O_NONBLOCK);
  if (fd < 0) return false;
  close(fd);
  return true;
}

DIR *OpenDirInRoot(const Connection *c, const char *path) {
  int fd = OpenInRoot(c, path, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return nullptr;
  DIR *dir = fdopendir(fd);
  if (!dir) {
    int err = errno;
    close(fd);
    errno = err;
  }
  return dir;
}

FileKind StatEntryInRoot(const Connection *c, int dirFd, const char *name,
                         int64_t *size, int64_t *mtime) {
  // The listed directory was opened beneath the root, so an entry that is
  // no link lies inside; only a link needs the walk from the root.
  struct stat st;
  if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return kMissing;
  if (S_ISLNK(st.st_mode)) return StatInRoot(c, c->space->fileName, size, mtime);
  if (size) *size = (int64_t)st.st_size;
  if (mtime) *mtime = (int64_t)st.st_mtime;
  if (S_ISREG(st.st_mode)) return kRegular;
  if (S_ISDIR(st.st_mode)) return kDirectory;
  return kOther;
}
