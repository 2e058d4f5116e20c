#include "file_commands.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "command_channel.h"
#include "deep_remove.h"
#include "dispatcher.h"
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
  int refused = DirectJoin(pReq, tmpBuf, sizeof tmpBuf, kDeleGuard, kDeleMissing);
  if (refused) return refused;
  struct stat st;
  if (stat_chk(tmpBuf, &st) != 0 || !S_ISREG(st.st_mode)) {
    SendFTPstring(pReq, Mess450);
    return 450;
  }
  if (unlink(tmpBuf) != 0) {
    if (errno == EACCES || errno == EPERM)
      SendFTPstring(pReq, kDeleDenied);
    else if (errno == ENOENT)
      SendFTPstring(pReq, kDeleNoFile);
    else
      SendFTPstring(pReq, Mess450);
    return 450;
  }
  if (pReq->quotaLimit != 0) {
    LowerDiskUsage(pReq, (int64_t)st.st_size);
    snprintf(tmpBuf, sizeof tmpBuf, kDeletedQuota, pReq->diskUsage, pReq->quotaLimit);
    SendFTPstring(pReq, tmpBuf);
  } else {
    SendFTPstring(pReq, Mess250);
  }
  return 250;
}

int DoMKD(Request *pReq) {
  int refused = DirectJoin(pReq, tmpBuf, sizeof tmpBuf, kMkdGuard, kMkdMissing);
  if (refused) return refused;
  struct stat st;
  if (stat_chk(tmpBuf, &st) == 0 || mkdir(tmpBuf, 0777) != 0) {
    SendFTPstring(pReq, Mess450);
    return 450;
  }
  SendFTPstring(pReq, Mess250);
  return 250;
}

int DoRMD(Request *pReq) {
  int refused = DirectJoin(pReq, tmpBuf, sizeof tmpBuf, kRmdGuard, kRmdMissing);
  if (refused) return refused;
  struct stat st;
  if (stat_chk(tmpBuf, &st) != 0) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  if (pReq->permissions[kRMD_RECURSIVE] == '1') {
    // Whatever stayed behind, the directory is still there: that is a
    // failure, not a completed action.
    if (DoDeepRemove(pReq, tmpBuf) != 0) {
      SendFTPstring(pReq, kRecursiveFailed);
      return 550;
    }
    SendFTPstring(pReq, Mess250);
    return 250;
  }
  if (S_ISDIR(st.st_mode) && rmdir(tmpBuf) == 0) {
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

// Anything at all under that name, a dangling link included: a rename must
// never replace what is there.
static bool NameTaken(char *path) {
  struct stat st;
  if (stat_chk(path, &st) == 0) return true;
  size_t n = strlen(path);
  char last = '\0';
  if (n > 1 && path[n - 1] == '/') {
    last = path[n - 1];
    path[n - 1] = '\0';
  }
  bool taken = lstat(path, &st) == 0;
  if (last) path[n - 1] = last;
  return taken;
}

int DoRNFR(Request *pReq) {
  struct stat st;
  free(pReq->renameFrom);
  pReq->renameFrom = nullptr;
  if (CreateAbsolutePath(tmpBuf, sizeof tmpBuf, pReq->rootDirectory, pReq->cwd,
                         pReq->argument) == 0 &&
      stat_chk(tmpBuf, &st) == 0) {
    pReq->renameFrom = strdup(tmpBuf);
    if (pReq->renameFrom) {
      SendFTPstring(pReq, Mess350);
      return 350;
    }
  }
  SendFTPstring(pReq, Mess450);
  return 450;
}

int DoRNTO(Request *pReq) {
  if (pReq->lastCommand != kRNFR) {
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
  if (CreateAbsolutePath(tmpBuf, sizeof tmpBuf, pReq->rootDirectory, pReq->cwd,
                         pReq->argument) == 0 &&
      !NameTaken(tmpBuf) && (pReq->renameTo = strdup(tmpBuf)) != nullptr) {
    // The target stays in the source's directory or below it: the text up
    // to the source's last '/' must open the target as well.
    const char *lastSlash = strrchr(pReq->renameFrom, '/');
    size_t k = lastSlash ? (size_t)(lastSlash - pReq->renameFrom) : 0;
    done = strncmp(pReq->renameTo, pReq->renameFrom, k) == 0 &&
           rename(pReq->renameFrom, pReq->renameTo) == 0;
  }
  DropRename(pReq);
  SendFTPstring(pReq, done ? Mess250 : kRenameFailed);
  return done ? 250 : 550;
}

int DoSIZE(Request *pReq) {
  struct stat st;
  if (CreateAbsolutePath(tmpBuf, sizeof tmpBuf, pReq->rootDirectory, pReq->cwd,
                         pReq->argument) != 0 ||
      stat_chk(tmpBuf, &st) != 0) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  snprintf(tmpBuf, sizeof tmpBuf, kSize, (int64_t)st.st_size);
  SendFTPstring(pReq, tmpBuf);
  // The loop acts only on 221 and 332; SIZE has always handed it 0.
  return 0;
}

int DoMDTM(Request *pReq, char *path) {
  struct stat st;
  struct tm tm;
  // Only a four-digit year fills the fourteen digits clients parse.
  if (stat_chk(path, &st) != 0 || !gmtime_r(&st.st_mtime, &tm) ||
      tm.tm_year + 1900 < 1000 || tm.tm_year + 1900 > 9999) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  snprintf(tmpBuf, sizeof tmpBuf, kModified, tm.tm_year + 1900, tm.tm_mon + 1,
           tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  SendFTPstring(pReq, tmpBuf);
  return 213;
}

int DoMDTM(Request *pReq) {
  if (CreateAbsolutePath(tmpBuf, sizeof tmpBuf, pReq->rootDirectory, pReq->cwd,
                         pReq->argument) != 0) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  return DoMDTM(pReq, tmpBuf);
}
