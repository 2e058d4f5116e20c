// Every file-system call a session makes on its tree goes through here. The
// real paths the virtual tree builds (root + cwd + argument) are opened
// beneath the account's root directory, so a link inside the tree that
// points out of it leads nowhere: the call fails as if the name were not
// there, and each command answers with its usual refusal.
#pragma once
#include <cstddef>
#include <dirent.h>
#include <sys/stat.h>

#include "server_records.h"

// Uploads write into temporary names beginning with this (upload_files.h);
// no command may name one, and no listing shows one.
constexpr char kUploadTempPrefix[] = ".zolf-upload.";
// True when a name is such a temporary name.
bool IsUploadTemp(const char *name);

// open(2) of a real path below the session's root. -1 (errno set) when it
// cannot be opened there, EXDEV when it would lead out of the root.
int RootedOpen(const Request *pReq, const char *path, int flags,
               mode_t mode = 0);
// stat of a real path below the root, following links only while they stay
// inside; one trailing '/' is ignored. 0, or -1 as stat.
int RootedStat(const Request *pReq, const char *path, struct stat *st);
// The directory holding the path's last name, opened below the root (a
// descriptor for the *at calls), with that name copied into name. The name
// itself is not resolved: a link there is acted on as the link. -1 when the
// directory cannot be reached inside the root or there is no last name.
int RootedParent(const Request *pReq, const char *path, char *name,
                 size_t nameSize);
// opendir of a real path below the root; null when it is not a directory
// reachable inside the root.
DIR *RootedOpenDir(const Request *pReq, const char *path);
