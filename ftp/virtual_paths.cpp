#include "virtual_paths.h"

#include <cstdio>
#include <cstring>

#include "command_channel.h"
#include "rooted_files.h"

static const char kCwdGuard[] = "550 Why don't you go fuck yourself?\n";
static const char kCwdMissing[] = "550 Can't process CWD without argument.\n";
static const char kCwdFailed[] = "550 Could not CWD.\n";
static const char kCwdCorruptRoot[] = "250 CWD was corrupt. New CWD is '/'.\n";
static const char kCwdCorruptTop[] = "250 CWD was corrupt. New CWD is at top level.\n";

bool PathGuardsFail(const char *argument) {
  return strstr(argument, "\\\\") || strstr(argument, "//") ||
         strchr(argument, ':') || strstr(argument, "..");
}

static int Join(char *out, size_t size, const char *a, const char *b,
                const char *c) {
  int n = snprintf(out, size, "%s%s%s", a, b, c);
  return (n < 0 || (size_t)n >= size) ? -1 : 0;
}

int CreateAbsolutePath(char *out, size_t size, const char *root,
                       const char *cwd, const char *argument) {
  if (PathGuardsFail(argument)) return -1;
  // Only '/' makes an argument absolute: a leading '\' is an ordinary
  // character, and root + "\x" would name something beside the root.
  if (argument[0] == '/') return Join(out, size, root, argument, "");
  return Join(out, size, root, cwd, argument);
}

int DirectJoin(Request *pReq, char *out, size_t size, const char *guardReply,
               const char *missingReply) {
  const char *arg = pReq->cmnd.space->argument;
  if (PathGuardsFail(arg)) {
    SendFTPstring(pReq, guardReply);
    return 550;
  }
  if (arg[0] == '\0') {
    SendFTPstring(pReq, missingReply);
    return 550;
  }
  if (strcmp(arg, "/") == 0) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  int fits = arg[0] == '/'
                 ? Join(out, size, pReq->login.root.c_str(), arg, "")
                 : Join(out, size, pReq->login.root.c_str(), pReq->login.cwd.c_str(), arg);
  if (fits != 0) {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  return 0;
}

int ResolveDotDot(const char *cwd, const char *argument, char *out, size_t size) {
  if (!strstr(argument, "..")) return snprintf(out, size, "%s", argument) < (int)size ? 0 : -1;
  char joined[kRealPathSize];
  int n = snprintf(joined, sizeof joined, "%s%s", argument[0] == '/' ? "" : cwd, argument);
  if (n < 0 || (size_t)n >= sizeof joined || size < 2) return -1;
  // Components one by one; ".." takes the last one back, never past "/".
  size_t length = 0;
  out[length++] = '/';
  char *rest = nullptr;
  for (char *part = strtok_r(joined, "/", &rest); part; part = strtok_r(nullptr, "/", &rest)) {
    if (strcmp(part, ".") == 0) continue;
    if (strcmp(part, "..") == 0) {
      if (length == 1) return -1;
      length--;  // the '/' that ends the last component
      while (length > 1 && out[length - 1] != '/') length--;
      continue;
    }
    size_t m = strlen(part);
    if (length + m + 2 > size) return -1;
    memcpy(out + length, part, m);
    length += m;
    out[length++] = '/';
  }
  // A trailing '/' only where the argument had one.
  if (length > 1 && argument[strlen(argument) - 1] != '/') length--;
  out[length] = '\0';
  return 0;
}

void VirtualPathOf(const Request *pReq, const char *real, char *out, size_t size) {
  size_t rootLength = pReq->login.root.size();
  if (strncmp(real, pReq->login.root.c_str(), rootLength) != 0) rootLength = 0;
  // A root written with its trailing '/' leaves that '/' to the path.
  if (rootLength > 0 && real[rootLength - 1] == '/') rootLength--;
  const char *path = real + rootLength;
  size_t n = strlen(path);
  while (n > 1 && path[n - 1] == '/') n--;
  if (n == 0) {
    snprintf(out, size, "/");
    return;
  }
  snprintf(out, size, "%s%.*s", path[0] == '/' ? "" : "/", (int)n, path);
}

int stat_chk(char *path, struct stat *st) {
  size_t n = strlen(path);
  char last = '\0';
  if (n > 0 && path[n - 1] == '/') {
    last = path[n - 1];
    path[n - 1] = '\0';
  }
  int result = stat(path, st);
  if (last) path[n - 1] = last;
  return result;
}

static void SetCwd(Request *pReq, const char *value) {
  pReq->login.cwd = value;
  // A session that went deep and came back holds no more than it needs.
  pReq->login.cwd.shrink_to_fit();
}

int DoCWD(Request *pReq) {
  char real[kRealPathSize] = "";
  char *arg = pReq->cmnd.space->argument;
  size_t n = strlen(arg);
  // ".." itself is let through to become CDUP.
  if (strstr(arg, "\\\\") || strstr(arg, "//") || strchr(arg, ':') ||
      (n > 2 && strstr(arg, ".."))) {
    SendFTPstring(pReq, kCwdGuard);
    return 550;
  }
  if (n == 0) {
    SendFTPstring(pReq, kCwdMissing);
    return 550;
  }
  if (strcmp(arg, "..") == 0) {
    memset(pReq->cmnd.space->argument, 0, sizeof pReq->cmnd.space->argument);
    memset(pReq->cmnd.space->command, 0, sizeof pReq->cmnd.space->command);
    snprintf(pReq->cmnd.space->command, sizeof pReq->cmnd.space->command, "CDUP");
    return kRunRewritten;
  }
  // "." is where the client already is.
  if (strcmp(arg, ".") == 0) {
    SendFTPstring(pReq, Mess250);
    return 250;
  }
  // The new directory is built aside and taken only once it is known to be
  // a directory: a CWD that fails leaves the client where it was.
  char next[kCwdSize];
  bool absolute = arg[0] == '/';
  if (absolute) {
    bool endsWithSlash = arg[n - 1] == '/';
    if (n + (endsWithSlash ? 1 : 2) >= kCwdSize) {
      SendFTPstring(pReq, Mess550);
      return 550;
    }
    memcpy(next, arg, n);
    next[n] = '/';
    next[endsWithSlash ? n : n + 1] = '\0';
  } else {
    // Relative: one level per component ("pub/docs" is "pub", then
    // "docs"), each joined as a one-level CWD would join it.
    size_t length = pReq->login.cwd.size();
    if (length >= kCwdSize) {
      SendFTPstring(pReq, Mess550);
      return 550;
    }
    memcpy(next, pReq->login.cwd.c_str(), length + 1);
    const char *part = arg;
    while (*part) {
      const char *slash = strchr(part, '/');
      size_t partLength = slash ? (size_t)(slash - part) : strlen(part);
      bool here = partLength == 0 || (partLength == 1 && part[0] == '.');
      if (!here) {
        if (memchr(part, '\\', partLength) || length + partLength + 2 >= kCwdSize) {
          SendFTPstring(pReq, Mess550);
          return 550;
        }
        memcpy(next + length, part, partLength);
        length += partLength;
        next[length++] = '/';
        next[length] = '\0';
      }
      part += partLength;
      if (*part == '/') part++;
    }
  }
  struct stat st;
  if (Join(real, sizeof real, pReq->login.root.c_str(), next, "") == 0 &&
      RootedStat(pReq, real, &st) == 0 && S_ISDIR(st.st_mode)) {
    SetCwd(pReq, next);
    SendFTPstring(pReq, Mess250);
    return 250;
  }
  SendFTPstring(pReq, kCwdFailed);
  return 550;
}

int DoCDUP(Request *pReq) {
  const std::string &cwd = pReq->login.cwd;
  if (cwd.size() >= kCwdSize) {
    SetCwd(pReq, "/");
    SendFTPstring(pReq, kCwdCorruptRoot);
    return 250;
  }
  if (cwd == "/") {
    SendFTPstring(pReq, Mess550);
    return 550;
  }
  if (cwd[0] == '\0') {
    SetCwd(pReq, "/");
    SendFTPstring(pReq, kCwdCorruptRoot);
    return 250;
  }
  size_t n = cwd.size();
  if (cwd[0] != '/' || cwd[n - 1] != '/') {
    SetCwd(pReq, "/");
    SendFTPstring(pReq, kCwdCorruptTop);
    return 250;
  }
  // "/a/b/" becomes "/a/".
  SetCwd(pReq, cwd.substr(0, cwd.rfind('/', n - 2) + 1).c_str());
  SendFTPstring(pReq, Mess250);
  return 250;
}
