#include "listing.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include "command_channel.h"
#include "dates.h"
#include "rooted_files.h"
#include "virtual_paths.h"

const char kListStarted[] = "150 Transferring directory listing.\n";
static const char kListFailed[] = "451 Failed to open directory.\n";
static const char kCloseFailedMarked[] =
    "Could not close directory (marking dir as closed).\n";
static const char kCloseFailed[] = "Could not close directory.\n";
static const char kDirectoryLine[] =
    "%s   1 owner    group               0 %s %s\r\n";
static const char kFileLine[] =
    "%s   1 owner    group   %13" PRIu64 " %s %s\r\n";
static const char kNameLine[] = "%s\r\n";
static const char kFactsLine[] =
    "type=%s;size=%" PRIu64 ";modify=%s;UNIX.mode=0%03o; %s\r\n";
static const char kMlstReply[] = "250-Listing %s\n %s250 End\n";

// The real path of the entry being examined, shared by all sessions: the
// root, the listed directory and a name; an entry whose path does not fit
// is left out.
static char FileName[kRealPathSize];
// Another line is added to the buffer only while this much room is left:
// the longest line (a name of 255 bytes, a 20-digit size, the facts) fits.
static const size_t kLineRoom = 384;
// Entries looked at per call, so that a huge directory of skipped entries
// does not hold up the other sessions.
static const int kEntriesPerCall = 64;

// --- Lines --------------------------------------------------------------

// The ten mode characters of a long listing: type, then read, write and
// execute for owner, group and others (with the set-id and sticky bits).
static void ModeText(char out[11], mode_t mode) {
  out[0] = S_ISDIR(mode) ? 'd' : S_ISLNK(mode) ? 'l' : '-';
  static const char kRwx[] = "rwxrwxrwx";
  for (int i = 0; i < 9; i++) out[1 + i] = (mode & (0400u >> i)) ? kRwx[i] : '-';
  if (mode & S_ISUID) out[3] = (mode & S_IXUSR) ? 's' : 'S';
  if (mode & S_ISGID) out[6] = (mode & S_IXGRP) ? 's' : 'S';
  if (mode & S_ISVTX) out[9] = (mode & S_IXOTH) ? 't' : 'T';
  out[10] = '\0';
}

int FormatListLine(char *out, size_t room, const char *name, mode_t mode,
                   uint64_t size, time_t mtime) {
  char date[16];
  get_date(date, mtime);
  char modes[11];
  ModeText(modes, mode);
  int n = S_ISDIR(mode) ? snprintf(out, room, kDirectoryLine, modes, date, name)
                        : snprintf(out, room, kFileLine, modes, size, date, name);
  return n < 0 || (size_t)n >= room ? 0 : n;
}

// "type=...;size=...;modify=YYYYMMDDHHMMSS;UNIX.mode=0NNN; name" and CR LF.
static int FormatFactsLine(char *out, size_t room, const char *type,
                           const char *name, const struct stat &st) {
  char modify[32] = "";
  struct tm tmv;
  time_t mtime = st.st_mtime;
  if (gmtime_r(&mtime, &tmv))
    snprintf(modify, sizeof modify, "%04d%02d%02d%02d%02d%02d", tmv.tm_year + 1900,
             tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
  int n = snprintf(out, room, kFactsLine, type, (uint64_t)st.st_size, modify,
                   (unsigned)(st.st_mode & 07777), name);
  return n < 0 || (size_t)n >= room ? 0 : n;
}

// The line of one entry in the session's listing format; 0 when the entry
// gets none.
static int EntryLine(const Request *pReq, char *out, size_t room, const char *name,
                     const struct stat &st, const char *type) {
  if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) return 0;
  if (pReq->xfer.listFormat == kListNames) {
    int n = snprintf(out, room, kNameLine, name);
    return n < 0 || (size_t)n >= room ? 0 : n;
  }
  if (pReq->xfer.listFormat == kListFacts) return FormatFactsLine(out, room, type, name, st);
  return FormatListLine(out, room, name, st.st_mode, (uint64_t)st.st_size, st.st_mtime);
}

// --- Starting a listing -------------------------------------------------

static void CloseListedDirectory(Request *pReq) {
  if (pReq->xfer.dir && closedir(pReq->xfer.dir) != 0) fputs(kCloseFailedMarked, stderr);
  pReq->xfer.dir = nullptr;
}

int InitDirList(Request *pReq) {
  CloseListedDirectory(pReq);
  if (!HoldXferBuffers(pReq)) {
    SendFTPstring(pReq, kListFailed);
    return 451;
  }
  char directory[kRealPathSize];
  int n = snprintf(directory, sizeof directory, "%s%s", pReq->login.root.c_str(),
                   pReq->login.cwd.c_str());
  if (n >= 0 && (size_t)n < sizeof directory) {
    pReq->xfer.dir = RootedOpenDir(pReq, directory);
    snprintf(pReq->xfer.bufs->listDirectory, sizeof pReq->xfer.bufs->listDirectory, "%s",
             pReq->login.cwd.c_str());
  }
  if (!pReq->xfer.dir) {
    SendFTPstring(pReq, kListFailed);
    return 451;
  }
  pReq->xfer.length = 0;
  if (pReq->xfer.listFormat == kListNone) pReq->xfer.listFormat = kListLong;
  pReq->xfer.state = kDataSending;
  SendFTPstring(pReq, kListStarted);
  return 150;
}

// The path of a LIST or NLST argument: words beginning with '-' are
// options, whatever follows them is the path ("" for none).
const char *ListPath(const char *arg) {
  while (*arg == '-') {
    const char *blank = strchr(arg, ' ');
    if (!blank) return "";
    arg = blank + 1;
    while (*arg == ' ') arg++;
  }
  return arg;
}

static bool HasWildcard(const char *text) { return strpbrk(text, "*?[") != nullptr; }

const char *PrepareListing(Request *pReq, const char *path, ListFormat format) {
  char real[kRealPathSize] = "";
  if (!HoldXferBuffers(pReq)) return kListFailed;
  pReq->xfer.listFormat = format;
  pReq->xfer.bufs->listPattern[0] = '\0';
  if (PathGuardsFail(path) || CreateAbsolutePath(real, sizeof real, pReq->login.root.c_str(),
                                                 pReq->login.cwd.c_str(), path) != 0)
    return Mess550;
  struct stat st;
  // The current directory itself that has gone is a failure to open it.
  if (path[0] == '\0' && RootedStat(pReq, real, &st) != 0) return kListFailed;
  if (RootedStat(pReq, real, &st) != 0) {
    // "*.txt", "pub/*": the last part names the entries to keep.
    char *slash = strrchr(real, '/');
    if (format == kListFacts || !slash || !HasWildcard(slash + 1) ||
        strlen(slash + 1) >= sizeof pReq->xfer.bufs->listPattern)
      return Mess550;
    snprintf(pReq->xfer.bufs->listPattern, sizeof pReq->xfer.bufs->listPattern, "%s", slash + 1);
    slash[1] = '\0';
    if (RootedStat(pReq, real, &st) != 0 || !S_ISDIR(st.st_mode)) return Mess550;
  }
  if (S_ISDIR(st.st_mode)) {
    CloseListedDirectory(pReq);
    // Only the part below the root is kept: the root is the session's.
    const char *below = real + pReq->login.root.size();
    size_t n = strlen(below);
    if (n + 2 > sizeof pReq->xfer.bufs->listDirectory) return Mess550;
    memcpy(pReq->xfer.bufs->listDirectory, below, n);
    if (n == 0 || below[n - 1] != '/') pReq->xfer.bufs->listDirectory[n++] = '/';
    pReq->xfer.bufs->listDirectory[n] = '\0';
    pReq->xfer.dir = RootedOpenDir(pReq, real);
    if (!pReq->xfer.dir) return kListFailed;
  } else if (S_ISREG(st.st_mode) && format != kListFacts) {
    // A file is listed as its one line, under the name the client gave.
    CloseListedDirectory(pReq);
    pReq->xfer.length = EntryLine(pReq, pReq->xfer.bufs->buffer, sizeof pReq->xfer.bufs->buffer, path, st, "file");
  } else {
    return Mess550;
  }
  return nullptr;
}

int DoMLST(Request *pReq) {
  char real[kRealPathSize] = "";
  const char *path = pReq->cmnd.space->argument;
  struct stat st;
  if (PathGuardsFail(path) ||
      CreateAbsolutePath(real, sizeof real, pReq->login.root.c_str(), pReq->login.cwd.c_str(),
                         path) != 0 ||
      RootedStat(pReq, real, &st) != 0 || (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  const char *name = path[0] ? path : pReq->login.cwd.c_str();
  char facts[kCmndBufferSize];
  char reply[2 * kCmndBufferSize];
  int n = FormatFactsLine(facts, sizeof facts, S_ISDIR(st.st_mode) ? "dir" : "file", name, st);
  // The facts line ends in CR LF already; the reply is sent as one piece.
  int m = n > 0 ? snprintf(reply, sizeof reply, kMlstReply, name, facts) : -1;
  if (m < 0 || (size_t)m >= sizeof reply || !ReplyFits(reply)) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  SendFTPstring(pReq, reply);
  return 250;
}

// --- Producing the lines ------------------------------------------------

// An entry is looked at inside the open directory; only a link is
// followed, and only as far as it stays inside the root (a link out of it
// is left out of the listing like any other unlistable entry). root and
// dirPath together are the directory's real path, ending in '/'.
static bool LookAtEntry(const Request *pReq, DIR *dir, const char *root, const char *dirPath,
                        const char *name, struct stat *st) {
  int n = snprintf(FileName, sizeof FileName, "%s%s%s", root, dirPath, name);
  if (n < 0 || (size_t)n >= sizeof FileName) return false;
  if (fstatat(dirfd(dir), name, st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  return !S_ISLNK(st->st_mode) || RootedStat(pReq, FileName, st) == 0;
}

// The line of the next entry: its length, 0 for an entry without a line,
// -1 at the end of the directory (which is then closed).
static int NextLine(Request *pReq, char *out, size_t room) {
  if (!pReq->xfer.dir) return -1;
  struct dirent *entry = readdir(pReq->xfer.dir);
  if (!entry) {
    if (closedir(pReq->xfer.dir) != 0) fputs(kCloseFailed, stderr);
    pReq->xfer.dir = nullptr;
    return -1;
  }
  const char *name = entry->d_name;
  bool self = strcmp(name, ".") == 0;
  // The directory itself appears in a fact listing; the one above it never
  // does (above the root it is no part of the client's tree).
  if (strcmp(name, "..") == 0 || (self && pReq->xfer.listFormat != kListFacts)) return 0;
  if (IsUploadTemp(name)) return 0;  // an upload's temporary file
  if (pReq->xfer.bufs->listPattern[0] && fnmatch(pReq->xfer.bufs->listPattern, name, FNM_PERIOD) != 0) return 0;
  struct stat st;
  if (!LookAtEntry(pReq, pReq->xfer.dir, pReq->login.root.c_str(), pReq->xfer.bufs->listDirectory,
                   name, &st)) return 0;
  const char *type = self ? "cdir" : S_ISDIR(st.st_mode) ? "dir" : "file";
  return EntryLine(pReq, out, room, name, st, type);
}

int GenerateDirectoryListing(Request *pReq) {
  pReq->xfer.length = 0;
  // An empty listing (no permission) borrowed nothing and has nothing.
  if (!pReq->xfer.dir || !pReq->xfer.bufs) return -1;
  for (int looked = 0; looked < kEntriesPerCall; looked++) {
    size_t room = kDataBufferSize - (size_t)pReq->xfer.length;
    if (room < kLineRoom) break;
    int n = NextLine(pReq, pReq->xfer.bufs->buffer + pReq->xfer.length, room);
    // The lines already made go out first; the next call reports the end.
    if (n < 0) return pReq->xfer.length > 0 ? 0 : -1;
    pReq->xfer.length += n;
  }
  return 0;
}

// STAT of a directory answers on the command connection, so it is capped
// rather than streamed: what fits one reply block, from a bounded number of
// entries, so a huge directory costs the loop no more than one LIST turn
// or so. A cut listing says so in its last line; LIST sends the whole.
static const int kStatEntriesLooked = 1024;
static const char kStatCut[] = " (more entries: LIST shows them all)\r\n";

int ListDirectoryLines(Request *pReq, const char *real, char *out, size_t room) {
  char dirPath[kRealPathSize + 1];
  size_t len = strlen(real);
  if (len + 2 > sizeof dirPath) return -1;
  memcpy(dirPath, real, len);
  if (len == 0 || real[len - 1] != '/') dirPath[len++] = '/';
  dirPath[len] = '\0';
  DIR *dir = RootedOpenDir(pReq, real);
  if (!dir) return -1;
  size_t used = 0;
  int looked = 0;
  bool cut = false;
  while (struct dirent *entry = readdir(dir)) {
    if (++looked > kStatEntriesLooked || room - used < kLineRoom + sizeof kStatCut) {
      cut = true;
      break;
    }
    const char *name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || IsUploadTemp(name)) continue;
    struct stat st;
    if (!LookAtEntry(pReq, dir, "", dirPath, name, &st)) continue;
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) continue;
    // Reply lines go indented: no line of the listing can pass for the
    // reply's last.
    out[used] = ' ';
    int n = FormatListLine(out + used + 1, room - used - 1, name, st.st_mode,
                           (uint64_t)st.st_size, st.st_mtime);
    if (n > 0) used += (size_t)n + 1;
  }
  if (closedir(dir) != 0) fputs(kCloseFailed, stderr);
  if (cut) {
    memcpy(out + used, kStatCut, sizeof kStatCut - 1);
    used += sizeof kStatCut - 1;
  }
  return (int)used;
}
