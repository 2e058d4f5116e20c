#include "change_watch.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

#ifdef __linux__
#include <sys/inotify.h>
#include <sys/vfs.h>

namespace {

// What changes a cached answer: contents, attributes (mode, owner,
// times, links), a name in a directory made, removed or renamed, the
// watched thing itself removed or moved.
const uint32_t kFileChanges = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF |
                              IN_MOVE_SELF;
const uint32_t kDirectoryChanges = kFileChanges | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE |
                                   IN_CREATE;

}  // namespace

int OpenChangeWatch() { return inotify_init1(IN_NONBLOCK | IN_CLOEXEC); }

int AddChangeWatch(int watchFd, int dirFd, const char *path, bool directory) {
  // inotify takes a path, not a directory descriptor: the descriptor's
  // own entry under /proc reaches the very directory it holds. "." as the
  // last component keeps that entry (a link) from being watched itself.
  char full[4200];
  int n = snprintf(full, sizeof full, "/proc/self/fd/%d/%s", dirFd, *path ? path : ".");
  if (n < 0 || (size_t)n >= sizeof full) return -1;
  uint32_t mask = (directory ? kDirectoryChanges | IN_ONLYDIR : kFileChanges) | IN_DONT_FOLLOW;
  return inotify_add_watch(watchFd, full, mask);
}

void RemoveChangeWatch(int watchFd, int wd) { inotify_rm_watch(watchFd, wd); }

bool ChangesAllSeen(int fd) {
  // The usual local file systems (statfs(2) magic numbers): ext2/3/4, xfs,
  // btrfs, tmpfs, ramfs, f2fs, zfs.
  static const unsigned long kLocal[] = {0xEF53, 0x58465342, 0x9123683E, 0x01021994,
                                         0x858458F6, 0xF2F52010, 0x2FC12FC1};
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return false;
  for (unsigned long type : kLocal)
    if ((unsigned long)fs.f_type == type) return true;
  return false;
}

void ReadChanges(int watchFd, void (*changed)(void *record, int wd), void *record) {
  alignas(struct inotify_event) char events[4096];
  for (;;) {
    ssize_t n = read(watchFd, events, sizeof events);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (ssize_t at = 0; at < n;) {
      const struct inotify_event *e = (const struct inotify_event *)(events + at);
      changed(record, (e->mask & IN_Q_OVERFLOW) ? -1 : e->wd);
      at += (ssize_t)sizeof *e + (ssize_t)e->len;
    }
  }
}

#else

int OpenChangeWatch() { return -1; }
int AddChangeWatch(int, int, const char *, bool) { return -1; }
void RemoveChangeWatch(int, int) {}
bool ChangesAllSeen(int) { return false; }
void ReadChanges(int, void (*)(void *, int), void *) {}

#endif
