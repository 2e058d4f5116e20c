#include "beneath.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

// The kernel follows at most 40 links in one lookup; the walk does the same.
const int kMaxLinks = 40;

// Set once the kernel answers ENOSYS, so old kernels pay for it only once.
// Builds that watch every path-taking call (the fuzz targets wrap the libc
// functions; openat2 has none) take the walk from the start.
#ifdef BENEATH_BY_WALK
bool openat2Missing = true;
#else
bool openat2Missing = false;
#endif

const char *SkipSlashes(const char *p) {
  while (*p == '/') p++;
  return p;
}

// The root's own location, for absolute link targets. Empty when the
// process cannot learn it; such targets are then refused.
std::string RootLocation(int rootFd) {
  char proc[64];
  char buf[PATH_MAX];
  snprintf(proc, sizeof proc, "/proc/self/fd/%d", rootFd);
  ssize_t n = readlink(proc, buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, (size_t)n);
}

void CloseAll(std::vector<int> &dirs) {
  for (int fd : dirs) close(fd);
  dirs.clear();
}

int Fail(std::vector<int> &dirs, int err) {
  CloseAll(dirs);
  errno = err;
  return -1;
}

// The target of the link `name` in dirFd ("" for a link opened with O_PATH).
bool ReadLink(int dirFd, const char *name, std::string *target) {
  char buf[PATH_MAX];
  ssize_t n = readlinkat(dirFd, name, buf, sizeof buf);
  if (n < 0 || (size_t)n >= sizeof buf) return false;
  target->assign(buf, (size_t)n);
  return true;
}

int TryOpenat2(int rootFd, const char *rel, int flags, mode_t mode) {
  struct open_how how;
  memset(&how, 0, sizeof how);
  how.flags = (unsigned long long)(flags | O_CLOEXEC);
  // openat2 rejects a mode unless the call may create something (O_TMPFILE
  // holds the O_DIRECTORY bit, hence the full comparison).
  if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) how.mode = mode;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  return (int)syscall(SYS_openat2, rootFd, rel, &how, sizeof how);
}

}  // namespace

int OpenRoot(const char *root) {
  return open(root, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

int OpenBeneathByWalk(int rootFd, const char *path, int flags, mode_t mode) {
  std::vector<int> dirs;  // every directory descended into; [0] the root
  int top = fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
  if (top < 0) return -1;
  dirs.push_back(top);
  std::string rest = SkipSlashes(path);
  std::string rootLocation;
  int links = 0;
  bool createExclusive = (flags & O_CREAT) && (flags & O_EXCL);

  for (;;) {
    size_t start = rest.find_first_not_of('/');
    if (start == std::string::npos) {
      // Nothing left: the path names the directory reached so far.
      int fd = openat(dirs.back(), ".", (flags & ~(O_CREAT | O_EXCL)) |
                                            O_CLOEXEC, mode);
      int err = errno;
      CloseAll(dirs);
      errno = err;
      return fd;
    }
    size_t end = rest.find('/', start);
    std::string comp = rest.substr(start, end == std::string::npos
                                              ? std::string::npos
                                              : end - start);
    std::string after =
        end == std::string::npos ? std::string() : rest.substr(end);
    bool last = after.find_first_not_of('/') == std::string::npos;
    rest = after;

    if (comp == ".") continue;
    if (comp == "..") {
      if (dirs.size() == 1) return Fail(dirs, EXDEV);
      close(dirs.back());
      dirs.pop_back();
      continue;
    }

    std::string target;
    bool isLink = false;
    if (!last) {
      int fd = openat(dirs.back(), comp.c_str(),
                      O_PATH | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) return Fail(dirs, errno);
      struct stat st;
      if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        return Fail(dirs, err);
      }
      if (S_ISLNK(st.st_mode)) {
        isLink = ReadLink(fd, "", &target);
        close(fd);
        if (!isLink) return Fail(dirs, ELOOP);
      } else if (S_ISDIR(st.st_mode)) {
        dirs.push_back(fd);
        continue;
      } else {
        close(fd);
        return Fail(dirs, ENOTDIR);
      }
    } else {
      int fd = openat(dirs.back(), comp.c_str(), flags | O_NOFOLLOW | O_CLOEXEC,
                      mode);
      if (fd >= 0) {
        // O_PATH with O_NOFOLLOW opens a link itself rather than failing.
        struct stat st;
        if (!(flags & O_PATH) || fstat(fd, &st) != 0 || !S_ISLNK(st.st_mode)) {
          CloseAll(dirs);
          return fd;
        }
        isLink = ReadLink(fd, "", &target);
        close(fd);
        if (!isLink) return Fail(dirs, ELOOP);
      } else {
        int err = errno;
        // O_CREAT|O_EXCL never follows a final link; elsewhere a failure on
        // a link means "follow it".
        if (createExclusive || !ReadLink(dirs.back(), comp.c_str(), &target))
          return Fail(dirs, err);
        isLink = true;
      }
    }

    // comp is a link: its target takes its place in the path.
    if (++links > kMaxLinks) return Fail(dirs, ELOOP);
    if (!target.empty() && target[0] == '/') {
      if (rootLocation.empty()) rootLocation = RootLocation(rootFd);
      size_t n = rootLocation.size();
      bool inside = !rootLocation.empty() &&
                    target.compare(0, n, rootLocation) == 0 &&
                    (target.size() == n || target[n] == '/' ||
                     rootLocation == "/");
      if (!inside) return Fail(dirs, EXDEV);
      target = target.substr(rootLocation == "/" ? 0 : n);
      while (dirs.size() > 1) {
        close(dirs.back());
        dirs.pop_back();
      }
    }
    rest = target + (rest.empty() ? std::string() : "/" + rest);
  }
}

int OpenBeneathAt(int rootFd, const char *path, int flags, mode_t mode) {
  const char *rel = SkipSlashes(path);
  if (*rel == '\0') rel = ".";
  if (!openat2Missing) {
    int fd = TryOpenat2(rootFd, rel, flags, mode);
    if (fd >= 0) return fd;
    if (errno == ENOSYS) {
      openat2Missing = true;
    } else if (errno != EXDEV) {
      return -1;
    }
    // EXDEV: either an escape or an absolute link the kernel will not follow
    // beneath a root even when it names a place inside it; the walk tells
    // the two apart.
  }
  return OpenBeneathByWalk(rootFd, rel, flags, mode);
}

int OpenBeneath(const char *root, const char *path, int flags, mode_t mode) {
  int rootFd = OpenRoot(root);
  if (rootFd < 0) return -1;
  int fd = OpenBeneathAt(rootFd, path, flags, mode);
  int err = errno;
  close(rootFd);
  errno = err;
  return fd;
}

int OpenParentBeneathAt(int rootFd, const char *path, char *name,
                        size_t nameSize) {
  std::string p = SkipSlashes(path);
  while (!p.empty() && p.back() == '/') p.pop_back();
  size_t slash = p.rfind('/');
  std::string last = slash == std::string::npos ? p : p.substr(slash + 1);
  std::string dir = slash == std::string::npos ? std::string(".")
                                               : p.substr(0, slash);
  if (last.empty() || last == "." || last == "..") {
    errno = EINVAL;
    return -1;
  }
  if (last.size() >= nameSize) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(name, last.c_str(), last.size() + 1);
  return OpenBeneathAt(rootFd, dir.c_str(), O_PATH | O_DIRECTORY);
}

int OpenParentBeneath(const char *root, const char *path, char *name,
                      size_t nameSize) {
  int rootFd = OpenRoot(root);
  if (rootFd < 0) return -1;
  int fd = OpenParentBeneathAt(rootFd, path, name, nameSize);
  int err = errno;
  close(rootFd);
  errno = err;
  return fd;
}

FileKind StatBeneath(const char *root, const char *path, int64_t *size,
                     int64_t *mtime) {
  int rootFd = OpenRoot(root);
  if (rootFd < 0) return kMissing;
  FileKind kind = StatBeneathAt(rootFd, path, size, mtime);
  close(rootFd);
  return kind;
}

int FstatBeneathAt(int rootFd, const char *path, struct stat *st) {
  int fd = OpenBeneathAt(rootFd, path, O_PATH);
  if (fd < 0) return -1;
  int rc = fstat(fd, st);
  close(fd);
  return rc;
}

FileKind StatBeneathAt(int rootFd, const char *path, int64_t *size,
                       int64_t *mtime) {
  struct stat st;
  if (FstatBeneathAt(rootFd, path, &st) != 0) return kMissing;
  if (size) *size = (int64_t)st.st_size;
  if (mtime) *mtime = (int64_t)st.st_mtime;
  if (S_ISREG(st.st_mode)) return kRegular;
  if (S_ISDIR(st.st_mode)) return kDirectory;
  return kOther;
}
