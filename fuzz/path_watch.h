// Watches every path the server code hands to the file system while a
// fuzz input runs. The fuzz targets are linked with -Wl,--wrap=<call> for
// each path-taking call (see PATH_WATCH_WRAPS in CMakeLists.txt), so every
// open, stat, access, mkdir, rename, unlink ... made by the servers' objects
// goes through this module first. Inside a watched stretch a path that does
// not lie in one of the allowed directories stops the run on the spot, with
// the call, the path and a stack trace, before the call is made.
#pragma once
#include <cstddef>
#include <cstdint>

// Allowed directories (absolute, without symbolic links): a path is inside
// when, made absolute and with "." and ".." worked out, it equals one of
// them or lies below one.
void WatchAllow(const char *directory);
void WatchClearAllowed();

// Opens and closes a watched stretch.
void WatchBegin();
void WatchEnd();

// Paths checked since the process started, and the last one (for the
// targets' start-up check that the wrapping really is in place).
uint64_t WatchChecked();
const char *WatchLastPath();

// True once a call in a watched stretch may have changed the tree (a
// successful create, write open, mkdir, rmdir, unlink or rename); cleared
// by WatchTakeChanged.
bool WatchTakeChanged();

// What the check does with a path: the absolute form with "." and ".."
// worked out lexically into out. -1 when it does not fit.
int WatchNormalize(int dirFd, const char *path, char *out, size_t size);
