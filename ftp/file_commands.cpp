#include "file_commands.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "command_channel.h"
#include "deep_remove.h"
#include "quota_records.h"
#include "rooted_files.h"
#include "virtual_paths.h"

static const char kDeleGuard[] = "550 Why don't you go fuck yourself?\n";
static const char kDeleMissing[] = "550 Can't process DELE without argument.\n";
static const char kMkdGuard[] = "550 Eat shit fucktard!\n";
static const char kMkdMissing[] = "550 Can't process MKD without argument.\n";
static const char kRmdGuard[] = "550 Noodlesucker!\n";
static const char kRmdMissing[] = "550 Can't process RMD without argument.\n";
static const char kDeletedQuota[] =
    "250 File deleted. Disk usage is %" PRIu64 "/%" PRIu64 " bytes.\n";
static const char kDeleDenied[] = "550 Permission denied.\n";
static const char kMkdDone[] = "257 \"%s\" created.\n";
static const char kMkdDoneLong[] = "257 Directory created.\n";
static const char kFileExists[] = "550 File exists.\n";
static const char kDeleNoFile[] = "450 No such file.\n";
static const char kRecursiveFailed[] = "550 Recursive RMD finished with error.\n";
static const char kRenameFailed[] = "550 Server out of memory or file already exists.\n";
static const char kSize[] = "213 %" PRId64 "\n";
static const char kModified[] = "213 %d%.2d%.2d%.2d%.2d%.2d\n";
static const char kModifySet[] = "213 Modify=%.14s; %s\n";
static const char kChmodDone[] = "200 SITE CHMOD command ok.\n";
static const char kBadArguments[] = "501 Syntax error in parameters or arguments.\n";

int DoDELE(Request *pReq) {
  char real[kRealPathSize] = "";
  int refused = DirectJoin(pReq, real, sizeof real, kDeleGuard, kDeleMissing);
  if (refused) return refused;
  // What the name leads to must be a regular file inside the root; what
  // goes is the name itself (a link goes as the link).
  struct stat st, own;
  char name[NAME_MAX + 1];
  int dir = -1;
  if (RootedStat(pReq, real, &st) != 0 || !S_ISREG(st.st_mode) ||
      (dir = RootedParent(pReq, real, name, sizeof name)) < 0 ||
      fstatat(dir, name, &own, AT_SYMLINK_NOFOLLOW) != 0) {
    if (dir >= 0) close(dir);
    SendFTPstring(pReq, Mess450);
    return 450;
  }
  int removed = unlinkat(dir, name, 0);
  int err = errno;
  close(dir);
  if (removed != 0) {
    if (err == EACCES || err == EPERM) {
      SendFTPstring(pReq, kDeleDenied);
      return 550;
    }
    SendFTPstring(pReq, err == ENOENT ? kDeleNoFile : Mess450);
    return 450;
  }
  if (QuotaLimit(pReq) != 0) {
    // Only a file's own bytes were stored; a link held none.
    if (S_ISREG(own.st_mode)) ChargeQuota(pReq, -(int64_t)own.st_size);
    SaveQuota(pReq);
    snprintf(real, sizeof real, kDeletedQuota, DiskUsage(pReq), QuotaLimit(pReq));
    SendFTPstring(pReq, real);
  } else {
    SendFTPstring(pReq, Mess250);
  }
  return 250;
}

// A new directory: others may look in but not write (less what the umask
// takes away).
static const mode_t kDirectoryMode = 0755;

int DoMKD(Request *pReq) {
  char real[kRealPathSize] = "";
  int refused = DirectJoin(pReq, real, sizeof real, kMkdGuard, kMkdMissing);
  if (refused) return refused;
  // Anything already under the name, a link included, keeps it.
  struct stat st;
  char name[NAME_MAX + 1];
  int dir = RootedParent(pReq, real, name, sizeof name);
  bool taken = dir >= 0 && fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
  bool made = dir >= 0 && !taken && mkdirat(dir, name, kDirectoryMode) == 0;
  if (dir >= 0) close(dir);
  if (!made) {
    SendFTPstring(pReq, taken ? kFileExists : Mess550);
    return 550;
  }
  // Clients take the new directory's name from the reply: its whole
  // virtual path, quoted, a '"' in it doubled.
  char path[kRealPathSize];
  VirtualPathOf(pReq, real, path, sizeof path);
  char quoted[2 * kCmndBufferSize];
  size_t n = 0;
  for (const char *p = path; *p && n + 2 < sizeof quoted; p++) {
    if (*p == '"') quoted[n++] = '"';
    quoted[n++] = *p;
  }
  quoted[n] = '\0';
  char reply[sizeof quoted + sizeof kMkdDone];
  snprintf(reply, sizeof reply, kMkdDone, quoted);
  SendFTPstring(pReq, ReplyFits(reply) ? reply : kMkdDoneLong);
  return 257;
}

int DoRMD(Request *pReq) {
  char real[kRealPathSize] = "";
  int refused = DirectJoin(pReq, real, sizeof real, kRmdGuard, kRmdMissing);
  if (refused) return refused;
  struct stat st;
  char name[NAME_MAX + 1];
  int dir = RootedParent(pReq, real, name, sizeof name);
  if (dir < 0 || fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (dir >= 0) close(dir);
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  if (pReq->login.permissions[kRMD_RECURSIVE] == '1') {
    close(dir);
    // Whatever stayed behind, the directory is still there: that is a
    // failure, not a completed action.
    if (DoDeepRemove(pReq, real) != 0) {
      SendFTPstring(pReq, kRecursiveFailed);
      return 550;
    }
    SendFTPstring(pReq, Mess250);
    return 250;
  }
  bool removed = S_ISDIR(st.st_mode) && unlinkat(dir, name, AT_REMOVEDIR) == 0;
  close(dir);
  if (removed) {
    SendFTPstring(pReq, Mess250);
    return 250;
  }
  SendFTPstring(pReq, Mess550);
  return 550;
}

static void DropRename(Request *pReq) {
  free(pReq->renameFrom);
  free(pReq->renameTo);
  pReq->renameFrom = nullptr;
  pReq->renameTo = nullptr;
}

// Anything at all under the name, a dangling link included: a rename
// must never replace what is there.
static bool NameTaken(int dir, const char *name) {
  struct stat st;
  return fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Renames one real path to another, each name reached inside the root; the
// names themselves are moved (a link moves as the link). 0 or -1.
// *taken tells a refusal for an existing target apart. A directory cannot
// go into itself: the system refuses that rename.
static int RootedRename(const Request *pReq, const char *from, const char *to,
                        bool *taken) {
  char fromName[NAME_MAX + 1], toName[NAME_MAX + 1];
  int fromDir = RootedParent(pReq, from, fromName, sizeof fromName);
  int toDir = fromDir < 0 ? -1 : RootedParent(pReq, to, toName, sizeof toName);
  int result = -1;
  *taken = toDir >= 0 && NameTaken(toDir, toName);
  if (toDir >= 0 && !*taken)
    result = renameat(fromDir, fromName, toDir, toName);
  if (fromDir >= 0) close(fromDir);
  if (toDir >= 0) close(toDir);
  return result;
}

int DoRNFR(Request *pReq) {
  char real[kRealPathSize] = "";
  struct stat st;
  char named[kRealPathSize];
  free(pReq->renameFrom);
  pReq->renameFrom = nullptr;
  // Clients name a rename's ends relative to where they are ("../x"); the
  // root itself never moves.
  const char *cwd = pReq->login.cwd.c_str();
  if (ResolveDotDot(cwd, pReq->cmnd.space->argument, named, sizeof named) == 0 &&
      strcmp(named, "/") != 0 &&
      CreateAbsolutePath(real, sizeof real, pReq->login.root.c_str(), cwd, named) == 0 &&
      RootedStat(pReq, real, &st) == 0) {
    pReq->renameFrom = strdup(real);
    if (pReq->renameFrom) {
      SendFTPstring(pReq, Mess350);
      return 350;
    }
  }
  SendFTPstring(pReq, Mess450);
  return 450;
}

int DoRNTO(Request *pReq) {
  char real[kRealPathSize] = "";
  if (pReq->cmnd.lastCommand != kRNFR) {
    DropRename(pReq);
    SendFTPstring(pReq, Mess503);
    return 503;
  }
  if (!pReq->renameFrom) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  free(pReq->renameTo);
  pReq->renameTo = nullptr;
  // Anywhere inside the root: both names are reached beneath it, so the
  // guards of every path hold; what is stored does not change, nor the
  // quota.
  bool done = false, taken = false;
  char named[kRealPathSize];
  const char *cwd = pReq->login.cwd.c_str();
  if (ResolveDotDot(cwd, pReq->cmnd.space->argument, named, sizeof named) == 0 &&
      strcmp(named, "/") != 0 &&
      CreateAbsolutePath(real, sizeof real, pReq->login.root.c_str(), cwd, named) == 0 &&
      (pReq->renameTo = strdup(real)) != nullptr)
    done = RootedRename(pReq, pReq->renameFrom, pReq->renameTo, &taken) == 0;
  DropRename(pReq);
  SendFTPstring(pReq, done ? Mess250 : taken ? kFileExists : kRenameFailed);
  return done ? 250 : 550;
}

int DoSIZE(Request *pReq) {
  char real[kRealPathSize] = "";
  struct stat st;
  if (CreateAbsolutePath(real, sizeof real, pReq->login.root.c_str(), pReq->login.cwd.c_str(),
                         pReq->cmnd.space->argument) != 0 ||
      RootedStat(pReq, real, &st) != 0) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  snprintf(real, sizeof real, kSize, (int64_t)st.st_size);
  SendFTPstring(pReq, real);
  // The loop acts only on 221 and 332; SIZE has always handed it 0.
  return 0;
}

int DoMDTM(Request *pReq, char *path) {
  char reply[kCmndBufferSize];
  struct stat st;
  struct tm tm;
  // Only a four-digit year fills the fourteen digits clients parse.
  if (RootedStat(pReq, path, &st) != 0 || !gmtime_r(&st.st_mtime, &tm) ||
      tm.tm_year + 1900 < 1000 || tm.tm_year + 1900 > 9999) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  snprintf(reply, sizeof reply, kModified, tm.tm_year + 1900, tm.tm_mon + 1,
           tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  SendFTPstring(pReq, reply);
  return 213;
}

int DoMDTM(Request *pReq) {
  char real[kRealPathSize] = "";
  if (CreateAbsolutePath(real, sizeof real, pReq->login.root.c_str(), pReq->login.cwd.c_str(),
                         pReq->cmnd.space->argument) != 0) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  return DoMDTM(pReq, real);
}

// The path after the first word of the argument ("TIME PATH", "MODE
// PATH") made real; *word gets the word. 0, or the code of the reply
// queued (501 without both, 550 for a path that is refused or missing).
static int WordAndPath(Request *pReq, char *word, size_t wordSize, char *real, size_t size) {
  const char *arg = pReq->cmnd.space->argument;
  const char *blank = strchr(arg, ' ');
  if (!blank || blank == arg || blank[1] == '\0' || (size_t)(blank - arg) >= wordSize) {
    SendFTPstring(pReq, kBadArguments);
    return 501;
  }
  snprintf(word, wordSize, "%.*s", (int)(blank - arg), arg);
  struct stat st;
  if (CreateAbsolutePath(real, size, pReq->login.root.c_str(), pReq->login.cwd.c_str(),
                         blank + 1) != 0 ||
      RootedStat(pReq, real, &st) != 0) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  return 0;
}

// The entry behind a real path inside the root, opened for changing its
// time or mode (a directory too); -1 when it cannot be.
static int OpenEntry(const Request *pReq, const char *real) {
  return RootedOpen(pReq, real, O_RDONLY | O_NONBLOCK);
}

int DoMFMT(Request *pReq) {
  char stamp[16], real[kRealPathSize] = "";
  int refused = WordAndPath(pReq, stamp, sizeof stamp, real, sizeof real);
  if (refused) return refused;
  struct tm tm = {};
  const char *end = strlen(stamp) == 14 ? strptime(stamp, "%Y%m%d%H%M%S", &tm) : nullptr;
  if (!end || *end != '\0') {
    SendFTPstring(pReq, kBadArguments);
    return 501;
  }
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = timegm(&tm);
  times[1].tv_nsec = 0;
  int fd = OpenEntry(pReq, real);
  bool done = fd >= 0 && futimens(fd, times) == 0;
  if (fd >= 0) close(fd);
  if (!done) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  const char *path = strchr(pReq->cmnd.space->argument, ' ') + 1;
  char reply[kCmndBufferSize + 64];
  snprintf(reply, sizeof reply, kModifySet, stamp, path);
  SendFTPstring(pReq, ReplyFits(reply) ? reply : Mess250);
  return 213;
}

int DoSiteChmod(Request *pReq) {
  char modeText[8], real[kRealPathSize] = "";
  int refused = WordAndPath(pReq, modeText, sizeof modeText, real, sizeof real);
  if (refused) return refused;
  // Plain permission bits only: a setuid or setgid file in an account's
  // tree is nobody's business.
  if (strspn(modeText, "01234567") != strlen(modeText)) {
    SendFTPstring(pReq, kBadArguments);
    return 501;
  }
  unsigned long mode = strtoul(modeText, nullptr, 8);
  if (mode > 0777) {
    SendFTPstring(pReq, kBadArguments);
    return 501;
  }
  int fd = OpenEntry(pReq, real);
  bool done = fd >= 0 && fchmod(fd, (mode_t)mode) == 0;
  if (fd >= 0) close(fd);
  SendFTPstring(pReq, done ? kChmodDone : Mess550);
  return done ? 200 : 550;
}
