#include "deep_remove.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quota_records.h"
#include "rooted_files.h"

// Longest path (with its NUL) an entry of the walk may have. It bounds the
// depth of the walk, and with it the stack and the open directories one
// RMD can hold: every level adds at least two characters.
static const size_t kDeepPathSize = 768;

static const int kOpenDir = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

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
    } else if (S_ISREG(st.st_mode)) {
      // A link or a special file held no stored bytes of the account.
      ChargeQuota(pReq, -(int64_t)st.st_size);
    }
  }
  closedir(dir);
  return errors ? -1 : 0;
}

int DoDeepRemove(Request *pReq, const char *path) {
  // The directory is opened by its name inside its parent, and the parent
  // beneath the root: neither a link at the top nor one on the way to it
  // leads the walk out of the account's tree.
  char name[NAME_MAX + 1];
  int parent = RootedParent(pReq, path, name, sizeof name);
  if (parent < 0) return -1;
  int fd = openat(parent, name, kOpenDir);
  int result = fd < 0 ? -1 : EmptyDirectory(pReq, fd, strlen(path));
  if (fd >= 0 && unlinkat(parent, name, AT_REMOVEDIR) != 0) result = -1;
  close(parent);
  // The files were counted off one by one; the record is written once.
  SaveQuota(pReq);
  return result;
}
