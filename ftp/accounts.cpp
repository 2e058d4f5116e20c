#include "accounts.h"

#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "addresses.h"
#include "command_channel.h"
#include "files.h"
#include "ini.h"
#include "passwords.h"
#include "quota_records.h"
#include "string_helpers.h"

static const char accountsdir[] = "accounts";
static const char kNameCharacters[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_";

static const char kPassWordInvalid[] = "PassWord entry is not valid.\n";
static const char kPassWordHashInvalid[] = "PassWord entry is not a hash libcrypt accepts.\n";
static const char kAllowIpInvalid[] = "AllowIPAddress entry is not valid.\n";
static const char kIdleDefault[] = "Using CloseIfIdle=no.\n";
static const char kIdleInvalid[] = "CloseIfIdle must be either yes or no.\n";
static const char kRootInvalid[] = "RootDirectory entry is not valid.\n";
static const char kRootEmpty[] = "RootDirectory entry cannot be zero length.\n";
static const char kRootNotFull[] =
    "RootDirectory entry is not valid (full path must be specified).\n";
static const char kQuotaMissing[] = "DiskQuota entry is not valid.\n";
static const char kQuotaInvalid[] = "DiskQuota %s entry is not valid.\n";
static const char kAddCommandEmpty[] = "AddCommand cannot be zero length.\n";
static const char kAddCommandInvalid[] = "AddCommand parameter %s is not valid.\n";
static const char kAccountLabel[] = "Account %s";
static const char kAccountFaulty[] = "Account %s (%s) cannot log in.\n";
static const char kRootMissing[] =
    "Account %s: RootDirectory %s does not exist or is not a directory; "
    "its logins are refused.\n";

static const char kRecounted[] = "Account %s: %llu bytes stored before, %llu now.\n";
static const char kNoAccount[] = "There is no account %s with a RootDirectory.\n";
static const char kRecountFailed[] = "Could not recount account %s.\n";

// Account values are read into buffers that hold a password hash or a
// clear password of up to 128 characters.
static const size_t kAccountValueSize = kPassWordSize;

struct Grant {
  const char *word;
  int code;
};
// What AddCommand= may grant; the eight basic commands are always allowed.
static const Grant kGrants[] = {
    {"CDUP", kCDUP}, {"CWD", kCWD},   {"MKD", kMKD},   {"RMD", kRMD},
    {"DELE", kDELE}, {"STOR", kSTOR}, {"RETR", kRETR}, {"PASV", kPASV},
    {"PORT", kPORT}, {"LIST", kLIST}, {"APPE", kAPPE}, {"TYPE", kTYPE},
    {"RNFR", kRNFR}, {"RNTO", kRNTO}, {"MDTM", kMDTM}, {"SIZE", kSIZE},
    {"SITE", kSITE}};

static int AccountFile(char *out, size_t size, const Request *pReq,
                       const char *extension) {
  int n = snprintf(out, size, "%s/%s/%s.%s", pReq->pConfig->homeDirectory,
                   accountsdir, pReq->login.userName, extension);
  return (n < 0 || (size_t)n >= size) ? -1 : 0;
}

static bool ValidUserName(const char *name) {
  size_t n = strlen(name);
  return n >= 1 && n < kUserNameSize && strspn(name, kNameCharacters) == n;
}

int OpenAccount(Request *pReq) {
  if (!ValidUserName(pReq->cmnd.space->argument)) return -1;
  memset(pReq->login.userName, 0, sizeof pReq->login.userName);
  memcpy(pReq->login.userName, pReq->cmnd.space->argument, strlen(pReq->cmnd.space->argument));
  char path[kHomeSize + 64];
  if (AccountFile(path, sizeof path, pReq, "ini") != 0) return -1;
  Ini ini;
  if (OpenIni(&ini, path) != 0) {
    CloseIni(&ini);
    return -1;
  }
  int result = ReadAccount(pReq, &ini);
  if (result == 0 && pReq->login.diskQuota != 0) ReadQuota(pReq);
  CloseIni(&ini);
  return result;
}

static bool KnownGrant(const char *word) {
  if (strcmp(word, "RMD_RECURSIVE") == 0) return true;
  for (const Grant &g : kGrants)
    if (strcmp(word, g.word) == 0) return true;
  return false;
}

static bool StoredPasswordValid(const char *text) {
  return CheckStoredPassword(text) == 0;
}

// "ALL" or one address; any other text could only ever refuse every login.
static bool AllowedForm(const char *text) {
  return strcmp(text, "ALL") == 0 || IniAddress(text);
}

// A full path here: '/' and at least one more character. "/" alone would
// become empty once its trailing separator goes.
static bool FullPath(const char *text) { return text[0] == '/' && strlen(text) >= 2; }

static int ApplyPassWord(Request *pReq, const IniValue &v) {
  pReq->login.passWord = v.text;
  return 0;
}

// A dotted address must match the client's exactly (010.0.0.7 is not
// 10.0.0.7); an IPv6 one has many spellings of the same host (::1 and
// 0:0:0:0:0:0:0:1), so it is compared as an address.
static bool AllowedAddress(const char *allowed, const char *client) {
  if (!strchr(allowed, ':')) return strcmp(allowed, client) == 0;
  return SameHostText(allowed, client);
}

static int ApplyAllowIp(Request *pReq, const IniValue &v) {
  // No client address: a check of the file, which any address passes.
  if (pReq->clientAddress.text[0] == '\0') return 0;
  if (strcmp(v.text, "ALL") != 0 && !AllowedAddress(v.text, pReq->clientAddress.text)) return -1;
  return 0;
}

static int ApplyCloseIfIdle(Request *pReq, const IniValue &v) {
  pReq->login.closeIfIdle = v.state == IniState::kGiven && strcmp(v.text, "yes") == 0 ? '1' : '0';
  return 0;
}

static int ApplyFullBandwidth(Request *pReq, const IniValue &v) {
  pReq->login.fullBandwidth = v.state == IniState::kGiven && strcmp(v.text, "yes") == 0 ? '1' : '0';
  return 0;
}

static int ApplyRootDirectory(Request *pReq, const IniValue &v) {
  std::string &root = pReq->login.root;
  root.assign(v.text);
  if (root.back() == '/') root.pop_back();
  // Logged in, the user could do nothing at all; refused, the user is told
  // at once and the operator learns which account to mend.
  if (StatPath(root.c_str()) != kDirectory) {
    fprintf(stderr, kRootMissing, pReq->login.userName, root.c_str());
    return -1;
  }
  return 0;
}

static int ApplyDiskQuota(Request *pReq, const IniValue &v) {
  pReq->login.diskQuota = (uint64_t)v.number;
  return 0;
}

static int ApplyGrant(Request *pReq, const IniValue &v) {
  if (v.state == IniState::kEnd) return 0;
  if (strcmp(v.text, "RMD_RECURSIVE") == 0) {
    pReq->login.permissions[kRMD] = '1';
    pReq->login.permissions[kRMD_RECURSIVE] = '1';
    return 0;
  }
  for (const Grant &g : kGrants)
    if (strcmp(v.text, g.word) == 0) pReq->login.permissions[g.code] = '1';
  return 0;
}

// An account file, in the order its keys are read. A refused account
// cannot log in; an address not allowed is refused without a word. The
// eight basic commands are always allowed, AddCommand= grants the others.
static const IniEntry<Request> kAccountKeys[] = {
    {{"PassWord=", IniType::kText, kIniNoteAbsent | kIniAbsentStops | kIniRefusedStops,
      kPassWordInvalid, kPassWordHashInvalid, nullptr, INT64_MIN, INT64_MAX,
      StoredPasswordValid},
     ApplyPassWord},
    {{"AllowIPAddress=", IniType::kText, kIniNoteAbsent | kIniAbsentStops, kAllowIpInvalid,
      nullptr, nullptr, INT64_MIN, INT64_MAX, AllowedForm, 0, "ALL or an IPv4 or IPv6 address"},
     ApplyAllowIp},
    {{"CloseIfIdle=", IniType::kText, kIniNoteAbsent | kIniRefusedStops, kIdleDefault,
      kIdleInvalid, nullptr, INT64_MIN, INT64_MAX, IniYesOrNo},
     ApplyCloseIfIdle},
    // Optional and quiet when absent: no.
    {{"AllowFullBandwidth=", IniType::kText, 0, nullptr, nullptr, nullptr, INT64_MIN, INT64_MAX,
      IniYesOrNo, 0, "yes or no"},
     ApplyFullBandwidth},
    {{"RootDirectory=", IniType::kText,
      kIniNoteAbsent | kIniAbsentStops | kIniEmptyStops | kIniRefusedStops, kRootInvalid,
      kRootNotFull, kRootEmpty, INT64_MIN, INT64_MAX, FullPath, kRootValueSize},
     ApplyRootDirectory},
    // The record keeps 64-bit counts: quotas beyond 4 GiB are right. The
    // reader holds a number too large at INT64_MAX, which is thus refused.
    {{"DiskQuota=", IniType::kNumber, kIniNoteAbsent | kIniAbsentStops | kIniRefusedStops,
      kQuotaMissing, kQuotaInvalid, nullptr, 0, INT64_MAX - 1, IniZeroIsExact},
     ApplyDiskQuota},
    {{"AddCommand=", IniType::kRepeated, kIniNotEmpty | kIniRefusedStops, nullptr,
      kAddCommandInvalid, kAddCommandEmpty, INT64_MIN, INT64_MAX, KnownGrant},
     ApplyGrant},
};

int ReadAccount(Request *pReq, Ini *ini) {
  // A mistyped key refuses the account's logins: a key taken as absent
  // could open more than the operator meant.
  const char *names[sizeof kAccountKeys / sizeof kAccountKeys[0]];
  size_t count = 0;
  IniNames(kAccountKeys, names, &count);
  if (IniCheckLines(ini, names, count) != 0) return -1;
  // Every message names the account it is about.
  char label[kUserNameSize + 16];
  snprintf(label, sizeof label, kAccountLabel, pReq->login.userName);
  ini->label = label;
  int result = ReadKeys(ini, kAccountKeys, pReq, kAccountValueSize);
  ini->label = nullptr;
  return result;
}

int ReadQuota(Request *pReq) { return AttachQuota(pReq); }

int UpdateQuota(Request *pReq) {
  // Only a record read at login is written back: a refused login or an
  // account without quota must not overwrite the stored one with zeros.
  return WriteQuota(pReq->login.quota);
}

int CheckAccountFiles(Server *pConfig) {
  char dirPath[kHomeSize + 16];
  if (JoinPath(dirPath, sizeof dirPath, pConfig->homeDirectory, accountsdir) != 0)
    return 0;
  DIR *dir = opendir(dirPath);
  if (!dir) return 0;
  // A whole session record: the account keys store into its login part.
  Request *check = new Request();
  check->pConfig = pConfig;
  int faulty = 0;
  while (struct dirent *e = readdir(dir)) {
    size_t n = strlen(e->d_name);
    if (n <= 4 || strcmp(e->d_name + n - 4, ".ini") != 0) continue;
    char path[kHomeSize + 16 + 256];
    if (JoinPath(path, sizeof path, dirPath, e->d_name) != 0) continue;
    e->d_name[n - 4] = '\0';
    LoginState fresh{};
    check->login = fresh;
    snprintf(check->login.userName, sizeof check->login.userName, "%s", e->d_name);
    Ini ini;
    int result = OpenIni(&ini, path) == 0 ? ReadAccount(check, &ini) : -1;
    CloseIni(&ini);
    if (result == 0 && ValidUserName(e->d_name)) continue;
    fprintf(stderr, kAccountFaulty, e->d_name, path);
    faulty++;
  }
  closedir(dir);
  delete check;
  return faulty;
}

int RecountAccount(const char *home, const char *name) {
  char path[kHomeSize + 64 + kUserNameSize], root[kRootValueSize];
  Ini ini;
  int found = -1;
  if (ValidUserName(name) &&
      snprintf(path, sizeof path, "%s/%s/%s.ini", home, accountsdir, name) < (int)sizeof path &&
      OpenIni(&ini, path) == 0)
    found = IniFind(&ini, "RootDirectory=", root, sizeof root);
  CloseIni(&ini);
  if (found != 0 || !FullPath(root)) {
    fprintf(stderr, kNoAccount, name);
    return -1;
  }
  // The record is where the server keeps it: QuotaDir= of zolf.ini there.
  char quotaDir[kHomeSize] = "";
  Ini config;
  if (snprintf(path, sizeof path, "%s/zolf.ini", home) < (int)sizeof path &&
      OpenIni(&config, path) == 0 && IniFind(&config, "QuotaDir=", quotaDir, sizeof quotaDir) != 0)
    quotaDir[0] = '\0';
  CloseIni(&config);
  if (quotaDir[0] != '\0')
    snprintf(path, sizeof path, "%s/%s.dsk", quotaDir, name);
  else
    snprintf(path, sizeof path, "%s/%s/%s.dsk", home, accountsdir, name);
  uint64_t before = 0, now = 0;
  if (RecountRecord(path, root, &before, &now) != 0) {
    fprintf(stderr, kRecountFailed, name);
    return -1;
  }
  printf(kRecounted, name, (unsigned long long)before, (unsigned long long)now);
  return 0;
}
