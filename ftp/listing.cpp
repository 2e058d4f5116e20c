#include "listing.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#include "command_channel.h"
#include "dates.h"
#include "rooted_files.h"
#include "sessions.h"
#include "virtual_paths.h"

static const char kListStarted[] = "150 Transferring directory listing.\n";
static const char kListFailed[] = "451 Failed to open directory.\n";
static const char kCloseFailedMarked[] =
    "Could not close directory (marking dir as closed).\n";
static const char kCloseFailed[] = "Could not close directory.\n";
static const char kDirectoryLine[] =
    "d---------   1 owner    group               0 %s %s\r\n";
static const char kFileLine[] =
    "----------   1 owner    group   %13" PRIu64 " %s %s\r\n";

// The real path of the entry being examined, shared by all sessions:
// root (255) + cwd (511) + a name fit with room to spare; an entry whose
// path does not fit anyway is left out.
static char FileName[896];
// Another line is added to the buffer only while this much room is left:
// the longest line (a name of 255 bytes, a 20-digit size) fits in it.
static const size_t kLineRoom = 384;
// Entries looked at per call, so that a huge directory of skipped entries
// does not hold up the other sessions.
static const int kEntriesPerCall = 64;

int DoLIST(Request *pReq) {
  int code = InitDirList(pReq);
  if (code != 150) {
    CloseDataConnection(pReq);
    CloseDataBuffer(pReq);
  }
  return code;
}

int InitDirList(Request *pReq) {
  if (pReq->dirHandle && closedir(pReq->dirHandle) != 0)
    fputs(kCloseFailedMarked, stderr);
  pReq->dirHandle = nullptr;
  char directory[768];
  int n = snprintf(directory, sizeof directory, "%s%s", pReq->rootDirectory,
                   pReq->cwd);
  if (n >= 0 && (size_t)n < sizeof directory)
    pReq->dirHandle = RootedOpenDir(pReq, directory);
  if (!pReq->dirHandle) {
    SendFTPstring(pReq, kListFailed);
    return 451;
  }
  CloseDataBuffer(pReq);
  pReq->dataState = kDataSending;
  SendFTPstring(pReq, kListStarted);
  return 150;
}

int FormatListLine(char *out, size_t room, const char *name, bool directory,
                   uint64_t size, time_t mtime) {
  char date[16];
  get_date(date, mtime);
  int n = directory ? snprintf(out, room, kDirectoryLine, date, name)
                    : snprintf(out, room, kFileLine, size, date, name);
  return n < 0 || (size_t)n >= room ? 0 : n;
}

// The line of the next entry: its length, 0 for an entry without a line,
// -1 at the end of the directory (which is then closed).
static int NextLine(Request *pReq, char *out, size_t room) {
  if (!pReq->dirHandle) return -1;
  struct dirent *entry = readdir(pReq->dirHandle);
  if (!entry) {
    if (closedir(pReq->dirHandle) != 0) fputs(kCloseFailed, stderr);
    pReq->dirHandle = nullptr;
    return -1;
  }
  const char *name = entry->d_name;
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return 0;
  int n = snprintf(FileName, sizeof FileName, "%s%s%s", pReq->rootDirectory,
                   pReq->cwd, name);
  if (n < 0 || (size_t)n >= sizeof FileName) return 0;
  // An entry is looked at inside the open directory; only a link is
  // followed, and only as far as it stays inside the root (a link out of
  // it is left out of the listing like any other unlistable entry).
  struct stat st;
  if (fstatat(dirfd(pReq->dirHandle), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
    return 0;
  if (S_ISLNK(st.st_mode) && RootedStat(pReq, FileName, &st) != 0) return 0;
  if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) return 0;
  return FormatListLine(out, room, name, S_ISDIR(st.st_mode),
                        (uint64_t)st.st_size, st.st_mtime);
}

int GenerateDirectoryListing(Request *pReq) {
  pReq->dataLength = 0;
  for (int looked = 0; looked < kEntriesPerCall; looked++) {
    size_t room = kDataBufferSize - (size_t)pReq->dataLength;
    if (room < kLineRoom) break;
    int n = NextLine(pReq, pReq->dataBuffer + pReq->dataLength, room);
    // The lines already made go out first; the next call reports the end.
    if (n < 0) return pReq->dataLength > 0 ? 0 : -1;
    pReq->dataLength += n;
  }
  return 0;
}
