#include "files.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

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
