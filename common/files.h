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
