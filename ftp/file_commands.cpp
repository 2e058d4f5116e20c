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
static const char kDeleDenied[] = "450 Permission denied.\n";
static const char kDeleNoFile[] = "450 No such file.\n";
static const char kRecursiveFailed[] = "550 Recursive RMD finished with error.\n";
static const char kRenameFailed[] = "550 Server out of memory or file already exists.\n";
static const char kSize[] = "213 %" PRId64 "\n";
static const char kModified[] = "213 %d%.2d%.2d%.2d%.2d%.2d\n";

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
    if (err == EACCES || err == EPERM)
      SendFTPstring(pReq, kDeleDenied);
    else if (err == ENOENT)
      SendFTPstring(pReq, kDeleNoFile);
    else
      SendFTPstring(pReq, Mess450);
    return 450;
  }
  if (QuotaLimit(pReq) != 0) {
    // Only a file's own bytes were stored; a link held none.
    if (S_ISREG(own.st_mode)) ChargeQuota(pReq, -(int64_t)own.st_size);
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
  bool made = dir >= 0 && fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0 &&
              mkdirat(dir, name, kDirectoryMode) == 0;
  if (dir >= 0) close(dir);
  if (!made) {
    SendFTPstring(pReq, Mess450);
    return 450;
  }
  SendFTPstring(pReq, Mess250);
  return 250;
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
static int RootedRename(const Request *pReq, const char *from, const char *to) {
  char fromName[NAME_MAX + 1], toName[NAME_MAX + 1];
  int fromDir = RootedParent(pReq, from, fromName, sizeof fromName);
  int toDir = fromDir < 0 ? -1 : RootedParent(pReq, to, toName, sizeof toName);
  int result = -1;
  if (toDir >= 0 && !NameTaken(toDir, toName))
    result = renameat(fromDir, fromName, toDir, toName);
  if (fromDir >= 0) close(fromDir);
  if (toDir >= 0) close(toDir);
  return result;
}

int DoRNFR(Request *pReq) {
  char real[kRealPathSize] = "";
  struct stat st;
  free(pReq->renameFrom);
  pReq->renameFrom = nullptr;
  if (CreateAbsolutePath(real, sizeof real, pReq->login.root, pReq->login.cwd,
                         pReq->cmnd.argument) == 0 &&
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
  bool done = false;
  if (CreateAbsolutePath(real, sizeof real, pReq->login.root, pReq->login.cwd,
                         pReq->cmnd.argument) == 0 &&
      (pReq->renameTo = strdup(real)) != nullptr) {
    // The target stays in the source's directory or below it: the text up
    // to the source's last '/' must open the target as well.
    const char *lastSlash = strrchr(pReq->renameFrom, '/');
    size_t k = lastSlash ? (size_t)(lastSlash - pReq->renameFrom) : 0;
    done = strncmp(pReq->renameTo, pReq->renameFrom, k) == 0 &&
           RootedRename(pReq, pReq->renameFrom, pReq->renameTo) == 0;
  }
  DropRename(pReq);
  SendFTPstring(pReq, done ? Mess250 : kRenameFailed);
  return done ? 250 : 550;
}

int DoSIZE(Request *pReq) {
  char real[kRealPathSize] = "";
  struct stat st;
  if (CreateAbsolutePath(real, sizeof real, pReq->login.root, pReq->login.cwd,
                         pReq->cmnd.argument) != 0 ||
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
  if (CreateAbsolutePath(real, sizeof real, pReq->login.root, pReq->login.cwd,
                         pReq->cmnd.argument) != 0) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  return DoMDTM(pReq, real);
}
