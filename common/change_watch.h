// Changes to files and directories as the kernel reports them (inotify on
// Linux): a descriptor that turns readable once something watched has
// changed, so a cache of what a path named can trust it until then instead
// of looking again on every use. Where the system offers no such report,
// or refuses another watch, every call fails and the caller looks again.
#pragma once

// The descriptor changes are read from (non-blocking); -1 when none.
int OpenChangeWatch();
// Watches what `path` names relative to the directory dirFd, without
// following a link in its last component: a directory (its own changes
// and the names in it: created, removed, renamed, changed) when
// `directory`, else a file (its contents and attributes, its removal or
// move). An empty path names dirFd itself. The watch number, the same for
// every watch of one file; -1 when the path cannot be watched (a link
// where a directory is asked for, the system's watch limit).
int AddChangeWatch(int watchFd, int dirFd, const char *path, bool directory);
void RemoveChangeWatch(int watchFd, int wd);
// True when every change to the open file fd passes through this kernel
// (a local file system), so that its reports are the whole story; a
// network file system changed from another machine reports nothing.
bool ChangesAllSeen(int fd);
// Reads every change reported so far and calls changed(record, wd) once
// for each; wd -1 when reports were lost (the kernel's queue overflowed),
// so anything watched may have changed.
void ReadChanges(int watchFd, void (*changed)(void *record, int wd), void *record);
