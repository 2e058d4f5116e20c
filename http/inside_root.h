// Files of a request, opened beneath the root the request reached (its
// AddVirtual or AddHost directory): whatever links the path meets, nothing
// outside that root is opened, looked at or listed. A location outside
// counts as missing (errno ENOENT), so it is answered like any name that
// is not there; links that stay inside keep working.
#pragma once
#include <cstdint>
#include <dirent.h>

#include "files.h"

struct Connection;

// open(2) of `path` (a full path that begins with c->root) beneath the
// root; -1 with errno set.
int OpenInRoot(const Connection *c, const char *path, int flags);
// What lives at path, links followed while they stay inside the root.
FileKind StatInRoot(const Connection *c, const char *path,
                    int64_t *size = nullptr, int64_t *mtime = nullptr);
// True when path can be opened for reading beneath the root.
bool ReadableInRoot(const Connection *c, const char *path);
// opendir(3) beneath the root; null with errno set.
DIR *OpenDirInRoot(const Connection *c, const char *path);
// The entry `name` of the open listed directory (whose full path plus the
// name is c->fileName): looked at inside the directory, and through the
// root when it is a link.
FileKind StatEntryInRoot(const Connection *c, int dirFd, const char *name,
                         int64_t *size, int64_t *mtime);
