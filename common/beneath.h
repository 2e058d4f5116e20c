// Opening names beneath a root directory: whatever links a path meets, the
// location finally reached never lies outside the root.
//
// Paths are taken relative to the root; leading slashes mean the root
// itself, so a client's "/pub/x" and "pub/x" reach the same place. A link
// whose target stays inside the root is followed (an absolute target too,
// when it names the root's own location); `..` above the root, or a link
// leading out, fails with errno EXDEV. The kernel resolves beneath the root
// (openat2 with RESOLVE_BENEATH) where it can; older kernels get a walk one
// component at a time that reads and checks every link itself.
#pragma once
#include <cstddef>
#include <sys/stat.h>
#include <sys/types.h>

#include "files.h"

// Opens the root directory itself, for the *At calls below. -1 on failure.
int OpenRoot(const char *root);

// open(2) of path beneath the root (flags and mode as for open; O_CLOEXEC is
// always added). Returns the descriptor, or -1 with errno set.
int OpenBeneath(const char *root, const char *path, int flags,
                mode_t mode = 0);
int OpenBeneathAt(int rootFd, const char *path, int flags, mode_t mode = 0);

// Opens (O_PATH) the directory that holds path's last component, beneath the
// root, and copies that component into name, so the caller can mkdirat,
// unlinkat or renameat on the name itself: a link there is acted on as the
// link, never as what it points to. A path without a last component (the
// root, ".", "..") fails with EINVAL; a name that does not fit, ENAMETOOLONG.
int OpenParentBeneath(const char *root, const char *path, char *name,
                      size_t nameSize);
int OpenParentBeneathAt(int rootFd, const char *path, char *name,
                        size_t nameSize);

// What lives at path beneath the root (links followed while they stay
// inside); kMissing for anything that cannot be reached that way.
FileKind StatBeneath(const char *root, const char *path,
                     int64_t *size = nullptr, int64_t *mtime = nullptr);
FileKind StatBeneathAt(int rootFd, const char *path, int64_t *size = nullptr,
                       int64_t *mtime = nullptr);

// stat(2) of path beneath the root, as StatBeneathAt reaches it. 0, or -1
// with errno set.
int FstatBeneathAt(int rootFd, const char *path, struct stat *st);

// The component walk used when the kernel has no openat2, and for absolute
// links that the kernel refuses to follow; offered so it can be tested on
// its own.
int OpenBeneathByWalk(int rootFd, const char *path, int flags, mode_t mode);
