// The wrapped calls and the check behind them. Why a lexical check is
// enough: the scratch trees the targets build hold no symbolic links, and
// neither server can make one, so the kernel resolves a path exactly the way
// the "." / ".." walk below does (or fails on a missing component, which
// reaches nothing). The check therefore sees every place a call could
// reach, including "root/../x" forms that a guard let through.
#include "path_watch.h"

#include <dirent.h>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const int kMaxAllowed = 16;
char allowed[kMaxAllowed][512];
int allowedCount = 0;
bool active = false;
bool changed = false;
uint64_t checked = 0;
char lastPath[8192];

// libFuzzer writes its crash, leak, timeout and OOM files with a relative
// name of this shape, also from inside a watched stretch when the server
// code crashed there. Server paths are always absolute (every one starts
// with a root), so relative names of this shape are exempt.
bool IsArtifact(const char *path) {
  if (path[0] == '/') return false;
  const char *base = strrchr(path, '/');
  base = base ? base + 1 : path;
  static const char *const kPrefixes[] = {"crash-", "leak-", "timeout-",
                                          "oom-", "slow-unit-"};
  for (const char *prefix : kPrefixes) {
    size_t n = strlen(prefix);
    if (strncmp(base, prefix, n) != 0) continue;
    const char *hash = base + n;
    return strlen(hash) == 40 && strspn(hash, "0123456789abcdef") == 40;
  }
  return false;
}

bool Inside(const char *path, const char *directory) {
  size_t n = strlen(directory);
  return strncmp(path, directory, n) == 0 && (path[n] == '\0' || path[n] == '/');
}

void Check(int dirFd, const char *path, const char *call) {
  if (!active || !path || path[0] == '\0' || IsArtifact(path)) return;
  checked++;
  if (WatchNormalize(dirFd, path, lastPath, sizeof lastPath) == 0)
    for (int i = 0; i < allowedCount; i++)
      if (Inside(lastPath, allowed[i])) return;
  active = false;  // the report and libFuzzer's crash file are not checked
  fprintf(stderr, "path watch: %s(\"%s\") reaches \"%s\", outside every root\n",
          call, path, lastPath);
  __sanitizer_print_stack_trace();
  abort();
}

void Changed(bool succeeded) {
  if (active && succeeded) changed = true;
}

bool WritesOpen(int flags) {
  return (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC | O_APPEND));
}

}  // namespace

void WatchAllow(const char *directory) {
  if (allowedCount < kMaxAllowed)
    snprintf(allowed[allowedCount++], sizeof allowed[0], "%s", directory);
}
void WatchClearAllowed() { allowedCount = 0; }
void WatchBegin() { active = true; }
void WatchEnd() { active = false; }
uint64_t WatchChecked() { return checked; }
const char *WatchLastPath() { return lastPath; }
bool WatchTakeChanged() {
  bool was = changed;
  changed = false;
  return was;
}

extern "C" ssize_t __real_readlink(const char *, char *, size_t);

int WatchNormalize(int dirFd, const char *path, char *out, size_t size) {
  static char joined[16384];
  char base[4096] = "";
  if (path[0] != '/') {
    if (dirFd == AT_FDCWD) {
      if (!getcwd(base, sizeof base)) return -1;
    } else {
      char link[64];
      snprintf(link, sizeof link, "/proc/self/fd/%d", dirFd);
      ssize_t n = __real_readlink(link, base, sizeof base - 1);
      if (n < 0) return -1;
      base[n] = '\0';
    }
  }
  int n = snprintf(joined, sizeof joined, "%s/%s", base, path);
  if (n < 0 || (size_t)n >= sizeof joined) return -1;
  size_t length = 0;
  for (char *part = joined; *part;) {
    char *end = strchr(part, '/');
    size_t partLength = end ? (size_t)(end - part) : strlen(part);
    if (partLength == 0 || (partLength == 1 && part[0] == '.')) {
      // nothing: an empty component or "."
    } else if (partLength == 2 && part[0] == '.' && part[1] == '.') {
      while (length > 0 && out[length - 1] != '/') length--;
      if (length > 0) length--;
    } else {
      if (length + 1 + partLength + 1 > size) return -1;
      out[length++] = '/';
      memcpy(out + length, part, partLength);
      length += partLength;
    }
    if (!end) break;
    part = end + 1;
  }
  if (length == 0) out[length++] = '/';
  out[length] = '\0';
  return 0;
}

// --- The wrapped calls ---------------------------------------------------
// Each one checks its path(s), makes the real call and notes a change.

extern "C" {

int __real_open(const char *, int, ...);
int __real_open64(const char *, int, ...);
int __real_openat(int, const char *, int, ...);
int __real_openat64(int, const char *, int, ...);
int __real_creat(const char *, mode_t);
FILE *__real_fopen(const char *, const char *);
FILE *__real_fopen64(const char *, const char *);
FILE *__real_freopen(const char *, const char *, FILE *);
DIR *__real_opendir(const char *);
int __real_stat(const char *, struct stat *);
int __real_lstat(const char *, struct stat *);
int __real_fstatat(int, const char *, struct stat *, int);
int __real_stat64(const char *, struct stat64 *);
int __real_lstat64(const char *, struct stat64 *);
int __real_fstatat64(int, const char *, struct stat64 *, int);
int __real_statx(int, const char *, int, unsigned, struct statx *);
int __real_access(const char *, int);
int __real_faccessat(int, const char *, int, int);
int __real_mkdir(const char *, mode_t);
int __real_mkdirat(int, const char *, mode_t);
int __real_rmdir(const char *);
int __real_unlink(const char *);
int __real_unlinkat(int, const char *, int);
int __real_remove(const char *);
int __real_rename(const char *, const char *);
int __real_renameat(int, const char *, int, const char *);
int __real_renameat2(int, const char *, int, const char *, unsigned);
int __real_link(const char *, const char *);
int __real_symlink(const char *, const char *);
int __real_truncate(const char *, off_t);
int __real_chdir(const char *);
int __real_chmod(const char *, mode_t);
int __real_utimes(const char *, const struct timeval *);
int __real_utimensat(int, const char *, const struct timespec *, int);
char *__real_realpath(const char *, char *);

static mode_t ModeArgument(int flags, va_list args) {
  bool needed = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
  return needed ? (mode_t)va_arg(args, int) : 0;
}

int __wrap_open(const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeArgument(flags, args);
  va_end(args);
  Check(AT_FDCWD, path, "open");
  int fd = __real_open(path, flags, mode);
  Changed(fd >= 0 && WritesOpen(flags));
  return fd;
}

int __wrap_open64(const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeArgument(flags, args);
  va_end(args);
  Check(AT_FDCWD, path, "open64");
  int fd = __real_open64(path, flags, mode);
  Changed(fd >= 0 && WritesOpen(flags));
  return fd;
}

int __wrap_openat(int dirFd, const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeArgument(flags, args);
  va_end(args);
  Check(dirFd, path, "openat");
  int fd = __real_openat(dirFd, path, flags, mode);
  Changed(fd >= 0 && WritesOpen(flags));
  return fd;
}

int __wrap_openat64(int dirFd, const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeArgument(flags, args);
  va_end(args);
  Check(dirFd, path, "openat64");
  int fd = __real_openat64(dirFd, path, flags, mode);
  Changed(fd >= 0 && WritesOpen(flags));
  return fd;
}

int __wrap_creat(const char *path, mode_t mode) {
  Check(AT_FDCWD, path, "creat");
  int fd = __real_creat(path, mode);
  Changed(fd >= 0);
  return fd;
}

static bool WritesMode(const char *mode) { return strpbrk(mode, "wa+") != nullptr; }

FILE *__wrap_fopen(const char *path, const char *mode) {
  Check(AT_FDCWD, path, "fopen");
  FILE *f = __real_fopen(path, mode);
  Changed(f && WritesMode(mode));
  return f;
}

FILE *__wrap_fopen64(const char *path, const char *mode) {
  Check(AT_FDCWD, path, "fopen64");
  FILE *f = __real_fopen64(path, mode);
  Changed(f && WritesMode(mode));
  return f;
}

FILE *__wrap_freopen(const char *path, const char *mode, FILE *stream) {
  Check(AT_FDCWD, path, "freopen");
  FILE *f = __real_freopen(path, mode, stream);
  Changed(f && WritesMode(mode));
  return f;
}

DIR *__wrap_opendir(const char *path) {
  Check(AT_FDCWD, path, "opendir");
  return __real_opendir(path);
}

int __wrap_stat(const char *path, struct stat *st) {
  Check(AT_FDCWD, path, "stat");
  return __real_stat(path, st);
}

int __wrap_lstat(const char *path, struct stat *st) {
  Check(AT_FDCWD, path, "lstat");
  return __real_lstat(path, st);
}

int __wrap_fstatat(int dirFd, const char *path, struct stat *st, int flags) {
  Check(dirFd, path, "fstatat");
  return __real_fstatat(dirFd, path, st, flags);
}

int __wrap_stat64(const char *path, struct stat64 *st) {
  Check(AT_FDCWD, path, "stat64");
  return __real_stat64(path, st);
}

int __wrap_lstat64(const char *path, struct stat64 *st) {
  Check(AT_FDCWD, path, "lstat64");
  return __real_lstat64(path, st);
}

int __wrap_fstatat64(int dirFd, const char *path, struct stat64 *st, int flags) {
  Check(dirFd, path, "fstatat64");
  return __real_fstatat64(dirFd, path, st, flags);
}

int __wrap_statx(int dirFd, const char *path, int flags, unsigned mask,
                 struct statx *st) {
  Check(dirFd, path, "statx");
  return __real_statx(dirFd, path, flags, mask, st);
}

int __wrap_access(const char *path, int mode) {
  Check(AT_FDCWD, path, "access");
  return __real_access(path, mode);
}

int __wrap_faccessat(int dirFd, const char *path, int mode, int flags) {
  Check(dirFd, path, "faccessat");
  return __real_faccessat(dirFd, path, mode, flags);
}

int __wrap_mkdir(const char *path, mode_t mode) {
  Check(AT_FDCWD, path, "mkdir");
  int r = __real_mkdir(path, mode);
  Changed(r == 0);
  return r;
}

int __wrap_mkdirat(int dirFd, const char *path, mode_t mode) {
  Check(dirFd, path, "mkdirat");
  int r = __real_mkdirat(dirFd, path, mode);
  Changed(r == 0);
  return r;
}

int __wrap_rmdir(const char *path) {
  Check(AT_FDCWD, path, "rmdir");
  int r = __real_rmdir(path);
  Changed(r == 0);
  return r;
}

int __wrap_unlink(const char *path) {
  Check(AT_FDCWD, path, "unlink");
  int r = __real_unlink(path);
  Changed(r == 0);
  return r;
}

int __wrap_unlinkat(int dirFd, const char *path, int flags) {
  Check(dirFd, path, "unlinkat");
  int r = __real_unlinkat(dirFd, path, flags);
  Changed(r == 0);
  return r;
}

int __wrap_remove(const char *path) {
  Check(AT_FDCWD, path, "remove");
  int r = __real_remove(path);
  Changed(r == 0);
  return r;
}

int __wrap_rename(const char *from, const char *to) {
  Check(AT_FDCWD, from, "rename");
  Check(AT_FDCWD, to, "rename");
  int r = __real_rename(from, to);
  Changed(r == 0);
  return r;
}

int __wrap_renameat(int fromFd, const char *from, int toFd, const char *to) {
  Check(fromFd, from, "renameat");
  Check(toFd, to, "renameat");
  int r = __real_renameat(fromFd, from, toFd, to);
  Changed(r == 0);
  return r;
}

int __wrap_renameat2(int fromFd, const char *from, int toFd, const char *to,
                     unsigned flags) {
  Check(fromFd, from, "renameat2");
  Check(toFd, to, "renameat2");
  int r = __real_renameat2(fromFd, from, toFd, to, flags);
  Changed(r == 0);
  return r;
}

int __wrap_link(const char *from, const char *to) {
  Check(AT_FDCWD, from, "link");
  Check(AT_FDCWD, to, "link");
  int r = __real_link(from, to);
  Changed(r == 0);
  return r;
}

int __wrap_symlink(const char *target, const char *path) {
  // The target is only text; where the new link lies is what counts, and
  // any link at all would void the lexical check.
  Check(AT_FDCWD, path, "symlink");
  if (active) {
    fprintf(stderr, "path watch: symlink(\"%s\", \"%s\") in a watched stretch\n",
            target, path);
    abort();
  }
  return __real_symlink(target, path);
}

int __wrap_truncate(const char *path, off_t length) {
  Check(AT_FDCWD, path, "truncate");
  int r = __real_truncate(path, length);
  Changed(r == 0);
  return r;
}

int __wrap_chdir(const char *path) {
  Check(AT_FDCWD, path, "chdir");
  return __real_chdir(path);
}

int __wrap_chmod(const char *path, mode_t mode) {
  Check(AT_FDCWD, path, "chmod");
  int r = __real_chmod(path, mode);
  Changed(r == 0);
  return r;
}

int __wrap_utimes(const char *path, const struct timeval *times) {
  Check(AT_FDCWD, path, "utimes");
  int r = __real_utimes(path, times);
  Changed(r == 0);
  return r;
}

int __wrap_utimensat(int dirFd, const char *path, const struct timespec *times,
                     int flags) {
  if (path) Check(dirFd, path, "utimensat");
  int r = __real_utimensat(dirFd, path, times, flags);
  Changed(r == 0);
  return r;
}

char *__wrap_realpath(const char *path, char *resolved) {
  Check(AT_FDCWD, path, "realpath");
  return __real_realpath(path, resolved);
}

ssize_t __wrap_readlink(const char *path, char *out, size_t size) {
  // Asking the kernel where an open descriptor lies touches no file: the
  // uploads do it to find the directory of a target already opened beneath
  // the root, and that directory's own open is checked when it comes.
  if (strncmp(path, "/proc/self/fd/", 14) != 0) Check(AT_FDCWD, path, "readlink");
  return __real_readlink(path, out, size);
}

}  // extern "C"
