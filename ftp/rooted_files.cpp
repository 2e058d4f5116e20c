#include "rooted_files.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "beneath.h"

// The part of a real path below the root ("" for the root itself), or null
// when the path was not built from this root at all.
static const char *BelowRoot(const Request *pReq, const char *path) {
  const std::string &root = pReq->login.root;
  size_t n = root.size();
  if (n == 0 || strncmp(path, root.c_str(), n) != 0) return nullptr;
  const char *rest = path + n;
  if (rest[0] != '\0' && rest[0] != '/') return nullptr;
  return rest;
}

bool IsUploadTemp(const char *name) {
  return strncmp(name, kUploadTempPrefix, sizeof kUploadTempPrefix - 1) == 0;
}

// True when a part of the path is an upload's temporary name: to every
// command it is not there.
static bool NamesUploadTemp(const char *rest) {
  for (const char *p = rest; (p = strchr(p, '/')) != nullptr;) {
    p++;
    if (IsUploadTemp(p)) return true;
  }
  return false;
}

int RootedOpen(const Request *pReq, const char *path, int flags, mode_t mode) {
  const char *rest = BelowRoot(pReq, path);
  if (!rest) {
    errno = EXDEV;
    return -1;
  }
  if (NamesUploadTemp(rest)) {
    errno = ENOENT;
    return -1;
  }
  return OpenBeneath(pReq->login.root.c_str(), rest, flags, mode);
}

int RootedStat(const Request *pReq, const char *path, struct stat *st) {
  // "file/" names the file as far as the commands are concerned; the
  // kernel would refuse it as no directory.
  char copy[PATH_MAX];
  size_t n = strlen(path);
  if (n >= sizeof copy) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(copy, path, n + 1);
  if (n > 1 && copy[n - 1] == '/') copy[n - 1] = '\0';
  int fd = RootedOpen(pReq, copy, O_PATH);
  if (fd < 0) return -1;
  int result = fstat(fd, st);
  close(fd);
  return result;
}

int RootedParent(const Request *pReq, const char *path, char *name,
                 size_t nameSize) {
  const char *rest = BelowRoot(pReq, path);
  if (!rest) {
    errno = EXDEV;
    return -1;
  }
  if (NamesUploadTemp(rest)) {
    errno = ENOENT;
    return -1;
  }
  return OpenParentBeneath(pReq->login.root.c_str(), rest, name, nameSize);
}

DIR *RootedOpenDir(const Request *pReq, const char *path) {
  int fd = RootedOpen(pReq, path, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return nullptr;
  DIR *dir = fdopendir(fd);
  if (!dir) close(fd);
  return dir;
}
