#include "deep_remove.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Longest path (with its NUL) an entry of the walk may have. It bounds the
// depth of the walk, and with it the stack and the open directories one
// RMD can hold: every level adds at least two characters.
static const size_t kDeepPathSize = 768;

// Room for the longest path a command can name (root, cwd, argument).
static const size_t kTopPathSize = 1281;

static const int kOpenDir = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

void LowerDiskUsage(Request *pReq, int64_t size) {
  if (pReq->quotaLimit == 0 || size <= 0) return;
  uint64_t bytes = (uint64_t)size;
  pReq->diskUsage = bytes >= pReq->diskUsage ? 0 : pReq->diskUsage - bytes;
}

// Empties the open directory dirFd (which it takes over and closes); its
// path is pathLength characters long. Every name is resolved relative to
// the directory itself, so an entry swapped for a link halfway through
// cannot lead the walk out of the tree. Returns -1 if anything stayed.
static int EmptyDirectory(Request *pReq, int dirFd, size_t pathLength) {
  DIR *dir = fdopendir(dirFd);
  if (!dir) {
    close(dirFd);
    return -1;
  }
  int fd = dirfd(dir);
  int errors = 0;
  struct dirent *entry;
  while ((entry = readdir(dir)) != nullptr) {
    const char *name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    size_t childLength = pathLength + 1 + strlen(name);
    if (childLength >= kDeepPathSize) {
      errors++;
      continue;
    }
    struct stat st;
    if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      errors++;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      int child = openat(fd, name, kOpenDir);
      if (child < 0 || EmptyDirectory(pReq, child, childLength) != 0 ||
          unlinkat(fd, name, AT_REMOVEDIR) != 0)
        errors++;
    } else if (unlinkat(fd, name, 0) != 0) {
      errors++;
    } else {
      LowerDiskUsage(pReq, (int64_t)st.st_size);
    }
  }
  closedir(dir);
  return errors ? -1 : 0;
}

int DoDeepRemove(Request *pReq, const char *path) {
  // A trailing '/' would make the kernel follow a link at the top.
  char top[kTopPathSize];
  int n = snprintf(top, sizeof top, "%s", path);
  if (n <= 0 || (size_t)n >= sizeof top) return -1;
  if (n > 1 && top[n - 1] == '/') top[--n] = '\0';

  int fd = open(top, kOpenDir);
  if (fd < 0) return -1;
  int result = EmptyDirectory(pReq, fd, (size_t)n);
  if (rmdir(top) != 0) result = -1;
  return result;
}
