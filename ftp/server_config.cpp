#include "server_config.h"

#include <dirent.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "files.h"
#include "ini.h"
#include "rotating_log.h"
#include "tls.h"
#include "string_helpers.h"
#include "tls.h"

static const char kServerName[] = "ZOLF/1.7.1";
static const char kNoWorkingDirectory[] = "Could not get current working directory.\n";
static const char kCannotOpen[] = "Could not open %s.\n";
static const char kBandwidthInvalid[] = "MaximumBandwidth entry is not valid.\n";
static const char kBandwidthDefault[] = "Using MaximumBandwidth=0.\n";
static const char kAddressDefault[] = "Using Address=127.0.0.1.\n";
static const char kAddressEmpty[] = "Address entry can't be zero length.\n";
static const char kExternMissingAuto[] = "Parameter ExternIP is missing.\n";
static const char kExternMissing[] = "Parameter ExternIP is missing (using Address).\n";
static const char kExternEmpty[] = "ExternIP entry can't be zero length.\n";
static const char kTimeoutInvalid[] = "TimeoutTime entry is not valid.\n";
static const char kTimeoutDefault[] = "Using TimeoutTime=240.\n";
static const char kMaxUsersInvalid[] = "MaxUsers entry is not valid.\n";
static const char kMaxUsersDefault[] = "Using MaxUsers=10.\n";
static const char kMaxUsersFallback[] = "Using MaxUsers=2.\n";
static const char kMaxPerAddressInvalid[] =
    "MaxPerAddress entry is not valid (using a quarter of MaxUsers).\n";
static const char kPortDefault[] = "Using Port=21.\n";
static const char kBadPort[] = "%s%s is not a port number from 1 to 65535.\n";
static const char kDataPortDefault[] = "Using DataPort=6000.\n";
static const char kRootNotDirectory[] =
    "WARNING! Account %s: RootDirectory %s does not exist or is not a directory.\n";
static const char kDataPortTooHigh[] = "Data port can not be greater than %ld.\n";
static const char kDataPortConflict[] = "Data port conflicting with server port.\n";
static const char kRequireTlsInvalid[] = "RequireTLS value must be either 0 or 1.\n";
static const char kTlsFilesApart[] = "TLSCertificate and TLSKey go together.\n";
static const char kRequireTlsAlone[] = "RequireTLS=1 needs TLSCertificate and TLSKey.\n";

// Values are read into 128-byte buffers: up to 126 characters.
static const size_t kValueSize = 128;
static const uint32_t kMostUsers = 32;
// Five failed logins within a minute, and the address is turned away at
// accept until that minute is over.
static const LoginBudget kLoginBudget = {5, 60 * 1000};

// A number that converts to 0 although it does not start with '0'.
static bool NotValid(const char *value, int64_t v) {
  return v == 0 && value[0] != '0';
}

static void ReadBandwidth(Ini *ini, Server *pConfig) {
  char value[kValueSize];
  pConfig->maxBandwidth = 0;
  if (ReadIni(ini, value, sizeof value, "MaximumBandwidth=") != 0) {
    fputs(kBandwidthDefault, stderr);
    return;
  }
  int64_t v = ParseLong(value);
  if (NotValid(value, v)) {
    fputs(kBandwidthInvalid, stderr);
    fputs(kBandwidthDefault, stderr);
    return;
  }
  // Kilobytes to bytes without wrapping; a negative limit means none.
  if (v < 0) v = 0;
  pConfig->maxBandwidth = v > INT64_MAX / 1024 ? (uint64_t)INT64_MAX
                                               : (uint64_t)v * 1024;
}

static int ReadAddresses(Ini *ini, Server *pConfig) {
  char value[kValueSize];
  if (ReadIni(ini, value, sizeof value, "Address=") != 0) {
    fputs(kAddressDefault, stderr);
    snprintf(pConfig->Address, sizeof pConfig->Address, "127.0.0.1");
  } else if (value[0] == '\0') {
    fputs(kAddressEmpty, stderr);
    return -1;
  } else {
    // Room for the longest IPv6 text; a longer value loses its end, as a
    // dotted address always lost what passed 15 characters.
    snprintf(pConfig->Address, sizeof pConfig->Address, "%.45s", value);
  }
  if (ReadIni(ini, value, sizeof value, "ExternIP=") != 0) {
    if (strcmp(pConfig->Address, "AUTO") == 0) {
      fputs(kExternMissingAuto, stderr);
      return -1;
    }
    fputs(kExternMissing, stderr);
    snprintf(pConfig->ExternIP, sizeof pConfig->ExternIP, "%s", pConfig->Address);
  } else if (value[0] == '\0') {
    fputs(kExternEmpty, stderr);
    return -1;
  } else {
    snprintf(pConfig->ExternIP, sizeof pConfig->ExternIP, "%.15s", value);
  }
  return 0;
}

static void ReadTimeout(Ini *ini, Server *pConfig) {
  char value[kValueSize];
  pConfig->TimeoutTime = 240;
  if (ReadIni(ini, value, sizeof value, "TimeoutTime=") != 0) {
    fputs(kTimeoutDefault, stderr);
    return;
  }
  int64_t v = ParseLong(value);
  if (NotValid(value, v)) {
    fputs(kTimeoutInvalid, stderr);
    fputs(kTimeoutDefault, stderr);
    return;
  }
  if (v > INT32_MAX) v = INT32_MAX;
  if (v < INT32_MIN) v = INT32_MIN;
  pConfig->TimeoutTime = (int32_t)v;
}

// Optional: without the key (or with 0) a quarter of MaxUsers applies, and
// nothing is said about it.
static void ReadMaxPerAddress(Ini *ini, Server *pConfig) {
  char value[kValueSize];
  pConfig->limits.maxPerAddress = DefaultMaxPerAddress(pConfig->MaxUsers);
  if (IniFind(ini, "MaxPerAddress=", value, sizeof value) != 0) return;
  int64_t v = ParseLong(value);
  if (NotValid(value, v) || v < 0) {
    fputs(kMaxPerAddressInvalid, stderr);
    return;
  }
  if (v != 0)
    pConfig->limits.maxPerAddress = v > (int64_t)UINT32_MAX ? UINT32_MAX : (uint32_t)v;
}

static void ReadMaxUsers(Ini *ini, Server *pConfig) {
  char value[kValueSize];
  pConfig->MaxUsers = 10;
  if (ReadIni(ini, value, sizeof value, "MaxUsers=") != 0) {
    fputs(kMaxUsersDefault, stderr);
    return;
  }
  int64_t v = ParseLong(value);
  if (NotValid(value, v)) {
    fputs(kMaxUsersInvalid, stderr);
    fputs(kMaxUsersFallback, stderr);
    pConfig->MaxUsers = 2;
    return;
  }
  // Above the limit, negative values included, silently means the limit.
  pConfig->MaxUsers = (v < 0 || v > kMostUsers) ? kMostUsers : (uint32_t)v;
}

// A port that is no whole number from 1 to 65535 stops the start: taken
// as some default it would put the server where nobody looks for it.
static int ReadPort(Ini *ini, Server *pConfig) {
  char value[kValueSize];
  pConfig->Port = 21;
  if (ReadIni(ini, value, sizeof value, "Port=") != 0) {
    fputs(kPortDefault, stderr);
    return 0;
  }
  int port = ParsePort(value);
  if (port < 0) {
    fprintf(stderr, kBadPort, "Port=", value);
    return -1;
  }
  pConfig->Port = (uint32_t)port;
  return 0;
}

static int ReadDataPort(Ini *ini, Server *pConfig) {
  char value[kValueSize];
  pConfig->DataPort = 6000;
  if (ReadIni(ini, value, sizeof value, "DataPort=") != 0) {
    fputs(kDataPortDefault, stderr);
    return 0;
  }
  int port = ParsePort(value);
  if (port < 0) {
    fprintf(stderr, kBadPort, "DataPort=", value);
    return -1;
  }
  pConfig->DataPort = (uint32_t)port;
  uint32_t last = pConfig->DataPort + pConfig->MaxUsers;
  if (last >= 65535) {
    fprintf(stderr, kDataPortTooHigh, 65535L - (long)pConfig->MaxUsers);
    return -1;
  }
  if (pConfig->Port >= pConfig->DataPort && last >= pConfig->Port) {
    fputs(kDataPortConflict, stderr);
    return -1;
  }
  return 0;
}

// Explicit TLS: the certificate and key files (PEM) and whether USER has to
// wait for AUTH TLS. All optional and quiet when absent; the files are
// loaded here, so a bad one stops the start with its reason.
static int ReadTls(Ini *ini, Server *pConfig) {
  char value[kValueSize];
  if (IniFind(ini, "TLSCertificate=", value, sizeof value) == 0)
    snprintf(pConfig->TLSCertificate, sizeof pConfig->TLSCertificate, "%s", value);
  if (IniFind(ini, "TLSKey=", value, sizeof value) == 0)
    snprintf(pConfig->TLSKey, sizeof pConfig->TLSKey, "%s", value);
  pConfig->RequireTLS = '0';
  if (IniFind(ini, "RequireTLS=", value, sizeof value) == 0) {
    if (strcmp(value, "0") != 0 && strcmp(value, "1") != 0) {
      fputs(kRequireTlsInvalid, stderr);
      return -1;
    }
    pConfig->RequireTLS = value[0];
  }
  bool certificate = pConfig->TLSCertificate[0] != '\0';
  if (certificate != (pConfig->TLSKey[0] != '\0')) {
    fputs(kTlsFilesApart, stderr);
    return -1;
  }
  if (!certificate) {
    if (pConfig->RequireTLS != '1') return 0;
    fputs(kRequireTlsAlone, stderr);
    return -1;
  }
  char error[256];
  pConfig->tlsContext = TlsServerContext(pConfig->TLSCertificate, pConfig->TLSKey,
                                         false, error, sizeof error);
  if (!pConfig->tlsContext) {
    fprintf(stderr, "%s\n", error);
    return -1;
  }
  return 0;
}

static int ReadKeys(Ini *ini, Server *pConfig, Log *log) {
  ReadBandwidth(ini, pConfig);
  if (ReadAddresses(ini, pConfig) != 0) return -1;
  ReadTimeout(ini, pConfig);
  ReadMaxUsers(ini, pConfig);
  ReadMaxPerAddress(ini, pConfig);
  if (ReadPort(ini, pConfig) != 0) return -1;
  if (ReadDataPort(ini, pConfig) != 0) return -1;
  if (ReadTls(ini, pConfig) != 0) return -1;
  return ReadLogConfig(ini, log, kValueSize);
}

// An account whose root is missing can log in but do nothing; the operator
// hears of it at the start rather than from the user. The account files
// are only looked at here: each login reads its own file again.
static void CheckAccountRoots(const Server *pConfig) {
  char dirPath[kHomeSize + 16];
  if (JoinPath(dirPath, sizeof dirPath, pConfig->homeDirectory, "accounts") != 0) return;
  DIR *dir = opendir(dirPath);
  if (!dir) return;
  while (struct dirent *e = readdir(dir)) {
    size_t n = strlen(e->d_name);
    if (n <= 4 || strcmp(e->d_name + n - 4, ".ini") != 0) continue;
    char path[kHomeSize + 16 + 256];
    if (JoinPath(path, sizeof path, dirPath, e->d_name) != 0) continue;
    Ini ini;
    char root[kRootSize];
    // The account reader prints its own messages for a missing or bad key
    // when the user logs in; here only a root that is given is judged,
    // by a lookup that is silent when the key is absent.
    if (OpenIni(&ini, path) == 0 &&
        IniFind(&ini, "RootDirectory=", root, sizeof root) == 0 &&
        root[0] == '/' && StatPath(root) != kDirectory) {
      e->d_name[n - 4] = '\0';
      fprintf(stderr, kRootNotDirectory, e->d_name, root);
    }
    CloseIni(&ini);
  }
  closedir(dir);
}

int InitConfig(Server *pConfig, const char *fileName, Log *log) {
  memset(pConfig, 0, sizeof *pConfig);
  pConfig->log = log;
  pConfig->listenSocket = -1;
  if (!getcwd(pConfig->homeDirectory, sizeof pConfig->homeDirectory)) {
    fputs(kNoWorkingDirectory, stderr);
    return -1;
  }
  RemoveTrailing(pConfig->homeDirectory);
  snprintf(pConfig->serverName, sizeof pConfig->serverName, "%s", kServerName);
  pConfig->requests = nullptr;
  pConfig->users = 0;
  pConfig->backlog = SOMAXCONN;
  pConfig->maxBandwidth = 0;
  pConfig->bandwidthStart = time(nullptr);
  pConfig->limits.budget = kLoginBudget;
  log->rotation = 0;

  Ini ini;
  if (OpenIni(&ini, fileName) != 0) {
    CloseIni(&ini);
    fprintf(stderr, kCannotOpen, fileName);
    return -1;
  }
  int result = ReadKeys(&ini, pConfig, log);
  CloseIni(&ini);
  if (result == 0) CheckAccountRoots(pConfig);
  return result;
}
