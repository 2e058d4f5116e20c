// File-system questions the servers ask, answered in one place.
#pragma once
#include <cstddef>
#include <cstdint>

enum FileKind { kMissing = 0, kRegular, kDirectory, kOther };

// What lives at path (following links). size and mtime filled when given.
FileKind StatPath(const char *path, int64_t *size = nullptr,
                  int64_t *mtime = nullptr);
// StatPath for the entry `name` of an open directory (its descriptor):
// only the name is looked up, not every directory of a full path again.
FileKind StatIn(int dirFd, const char *name, int64_t *size = nullptr,
                int64_t *mtime = nullptr);
// a + "/" + b into out (size bytes); -1 when it does not fit.
int JoinPath(char *out, size_t size, const char *a, const char *b);

// A small file changed by read-modify-write, safe against a crash and
// against other processes (on this host, or on another sharing the file
// over NFSv4) changing it at the same time. `change` gets what the file
// holds (`got` bytes of at most `size`; -1 when there is no file) and
// fills `bytes` with the `size` bytes to write, or returns -1 to leave the
// file as it is. 0 once the new bytes are on the disk under the name, or -1.
int RewriteSmallFile(const char *path, unsigned char *bytes, size_t size,
                     int (*change)(unsigned char *bytes, long got, void *arg), void *arg);
