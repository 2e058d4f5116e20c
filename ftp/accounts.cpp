#include "accounts.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "addresses.h"
#include "command_channel.h"
#include "ini.h"
#include "quota_records.h"
#include "string_helpers.h"

static const char accountsdir[] = "accounts";
static const char kNameCharacters[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_";

static const char kPassWordInvalid[] = "PassWord entry is not valid.\n";
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

// Account values are read into 32-byte buffers: up to 30 characters.
static const size_t kAccountValueSize = 32;

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
                   accountsdir, pReq->userName, extension);
  return (n < 0 || (size_t)n >= size) ? -1 : 0;
}

static bool ValidUserName(const char *name) {
  size_t n = strlen(name);
  return n >= 1 && n < kUserNameSize && strspn(name, kNameCharacters) == n;
}

int OpenAccount(Request *pReq) {
  if (!ValidUserName(pReq->argument)) return -1;
  memset(pReq->userName, 0, sizeof pReq->userName);
  memcpy(pReq->userName, pReq->argument, strlen(pReq->argument));
  char path[kHomeSize + 64];
  if (AccountFile(path, sizeof path, pReq, "ini") != 0) return -1;
  Ini ini;
  if (OpenIni(&ini, path) != 0) {
    CloseIni(&ini);
    return -1;
  }
  int result = ReadAccount(pReq, &ini);
  if (result == 0 && pReq->diskQuota != 0) ReadQuota(pReq);
  CloseIni(&ini);
  return result;
}

static int ReadRootDirectory(Request *pReq, Ini *ini) {
  // Read aside: a refused value never leaves a half-copied root behind.
  char root[kRootSize];
  if (ReadIni(ini, root, sizeof root, "RootDirectory=") != 0) {
    fputs(kRootInvalid, stderr);
    return -1;
  }
  if (root[0] == '\0') {
    fputs(kRootEmpty, stderr);
    return -1;
  }
  // A full path here: '/' and at least one more character. "/" alone would
  // become empty once its trailing separator goes.
  size_t n = strlen(root);
  if (root[0] != '/' || n < 2) {
    fputs(kRootNotFull, stderr);
    return -1;
  }
  if (root[n - 1] == '/') root[n - 1] = '\0';
  memcpy(pReq->rootDirectory, root, sizeof root);
  return 0;
}

static int ReadDiskQuota(Request *pReq, Ini *ini) {
  char value[kAccountValueSize];
  if (ReadIni(ini, value, sizeof value, "DiskQuota=") != 0) {
    fputs(kQuotaMissing, stderr);
    return -1;
  }
  int64_t v = ParseLong(value);
  // The record holds 32-bit words: a quota beyond them cannot be kept.
  if ((v == 0 && strcmp(value, "0") != 0) || v < 0 || v > (int64_t)UINT32_MAX) {
    fprintf(stderr, kQuotaInvalid, value);
    return -1;
  }
  pReq->diskQuota = (uint32_t)v;
  return 0;
}

static int ReadGrants(Request *pReq, Ini *ini) {
  char value[kAccountValueSize];
  uint32_t at = 0;
  while (IniNext(ini, &at, "AddCommand=", value, sizeof value) == 0) {
    if (value[0] == '\0') {
      fputs(kAddCommandEmpty, stderr);
      continue;
    }
    if (strcmp(value, "RMD_RECURSIVE") == 0) {
      pReq->permissions[kRMD] = '1';
      pReq->permissions[kRMD_RECURSIVE] = '1';
      continue;
    }
    bool known = false;
    for (const Grant &g : kGrants)
      if (strcmp(value, g.word) == 0) {
        pReq->permissions[g.code] = '1';
        known = true;
        break;
      }
    if (!known) {
      fprintf(stderr, kAddCommandInvalid, value);
      return -1;
    }
  }
  return 0;
}

// A dotted address must match the client's exactly (010.0.0.7 is not
// 10.0.0.7); an IPv6 one has many spellings of the same host (::1 and
// 0:0:0:0:0:0:0:1), so it is compared as an address.
static bool AllowedAddress(const char *allowed, const char *client) {
  if (!strchr(allowed, ':')) return strcmp(allowed, client) == 0;
  return SameHostText(allowed, client);
}

int ReadAccount(Request *pReq, Ini *ini) {
  char value[kAccountValueSize];
  if (ReadIni(ini, value, sizeof value, "PassWord=") != 0) {
    fputs(kPassWordInvalid, stderr);
    return -1;
  }
  snprintf(pReq->passWord, sizeof pReq->passWord, "%s", value);

  if (ReadIni(ini, value, sizeof value, "AllowIPAddress=") != 0) {
    fputs(kAllowIpInvalid, stderr);
    return -1;
  }
  if (strcmp(value, "ALL") != 0 && !AllowedAddress(value, pReq->ipAddress))
    return -1;

  if (ReadIni(ini, value, sizeof value, "CloseIfIdle=") != 0) {
    fputs(kIdleDefault, stderr);
    pReq->closeIfIdle = '0';
  } else if (strcmp(value, "yes") == 0) {
    pReq->closeIfIdle = '1';
  } else if (strcmp(value, "no") == 0) {
    pReq->closeIfIdle = '0';
  } else {
    fputs(kIdleInvalid, stderr);
    return -1;
  }

  pReq->fullBandwidth = '0';
  if (ReadIni(ini, value, sizeof value, "AllowFullBandwidth=") == 0 &&
      strcmp(value, "yes") == 0)
    pReq->fullBandwidth = '1';

  if (ReadRootDirectory(pReq, ini) != 0) return -1;
  if (ReadDiskQuota(pReq, ini) != 0) return -1;
  return ReadGrants(pReq, ini);
}

int ReadQuota(Request *pReq) { return AttachQuota(pReq); }

int UpdateQuota(Request *pReq) {
  // Only a record read at login is written back: a refused login or an
  // account without quota must not overwrite the stored one with zeros.
  return WriteQuota(pReq->quota);
}
