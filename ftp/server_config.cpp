#include "server_config.h"

#include <dirent.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "files.h"
#include "ini.h"
#include "passwords.h"
#include "rotating_log.h"
#include "shared_keys.h"
#include "upload_files.h"
#include "string_helpers.h"
#include "tls.h"

static const char kServerName[] = "ZOLF/1.7.1";
static const char kNoWorkingDirectory[] = "Could not get current working directory.\n";
static const char kCannotOpen[] = "Could not open %s.\n";
static const char kBandwidthDefault[] = "Using MaximumBandwidth=0.\n";
static const char kAddressDefault[] = "Using Address=127.0.0.1.\n";
static const char kTimeoutDefault[] = "Using TimeoutTime=240.\n";
static const char kMaxUsersDefault[] = "Using MaxUsers=10.\n";
static const char kPortDefault[] = "Using Port=21.\n";
static const char kDataPortDefault[] = "Using DataPort=6000.\n";
static const char kBadDataPort[] = "DataPort=%s is not a port number from 1 to 65535.\n";
static const char kRootNotDirectory[] =
    "WARNING! Account %s: RootDirectory %s does not exist or is not a directory.\n";
static const char kUploadModeInvalid[] =
    "UploadMode=%s is not an octal file mode from 0 to 0777.\n";
static const uint32_t kUploadModeDefault = 0644;
static const char kClearPassword[] =
    "WARNING! Account %s: PassWord is clear text; store a hash (zolf -hash).\n";
static const char kBadPasswordHash[] =
    "WARNING! Account %s: PassWord is not a hash libcrypt accepts; it cannot log in.\n";
static const char kDataPortTooHigh[] = "Data port can not be greater than %ld.\n";
static const char kDataPortConflict[] = "Data port conflicting with server port.\n";
static const char kRequireTlsInvalid[] = "RequireTLS value must be either 0 or 1.\n";
static const char kTlsFilesApart[] = "TLSCertificate and TLSKey go together.\n";
static const char kRequireTlsAlone[] = "RequireTLS=1 needs TLSCertificate and TLSKey.\n";
static const char kBadImplicitPort[] =
    "TLSImplicitPort=%s is not a port number from 1 to 65535.\n";
static const char kImplicitAlone[] = "TLSImplicitPort needs TLSCertificate and TLSKey.\n";
static const char kImplicitConflict[] =
    "TLSImplicitPort conflicting with the server port or the data ports.\n";

// Values are read into 128-byte buffers: up to 126 characters.
static const size_t kValueSize = 128;
// The loop holds any number of sessions; the passive ports DataPort to
// DataPort+MaxUsers must fit below 65536 (DataPort checks that).
static const uint32_t kMostUsers = 60000;
// Download tools (rclone, lftp's mirror, FileZilla) open several sessions
// at once from one address.
static const uint32_t kLeastPerAddress = 16;
static const char kMaxUsersLowered[] = "MaxUsers is above %u. Using MaxUsers=%u.\n";
// Five failed logins within a minute, and the address is turned away at
// accept until that minute is over.
static const LoginBudget kLoginBudget = {5, 60 * 1000};

// Kilobytes a second, 0 for no limit; the bound keeps bytes from wrapping.
static const int64_t kMostBandwidth = INT64_MAX / 1024;

static int ApplyBandwidth(Server *pConfig, const IniValue &v) {
  int64_t kilobytes = v.state == IniState::kGiven ? v.number : 0;
  pConfig->maxBandwidth = (uint64_t)kilobytes * 1024;
  return 0;
}

static int ApplyAddressKey(Server *pConfig, const IniValue &v) {
  ApplyAddress(v, pConfig->Address, sizeof pConfig->Address);
  return 0;
}

// A host name as DNS writes one: letters, digits, '-' and '.'.
static bool HostOrAddress(const char *text) {
  size_t n = strlen(text);
  if (strcmp(text, "AUTO") == 0 || IniAddress(text)) return true;
  return n >= 1 && n <= 253 &&
         strspn(text, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") == n;
}

static constexpr IniKey ZolfExternIp() {
  IniKey key = kExternIpKey;
  key.valid = HostOrAddress;
  key.form = "an IPv4 or IPv6 address, a host name, or AUTO";
  return key;
}

// An IPv4 or IPv6 address, AUTO, or a host name looked up when the
// network starts (an IPv6 one makes each session announce the address it
// reached).
static int ApplyExternIp(Server *pConfig, const IniValue &v) {
  if (v.state == IniState::kGiven) {
    unsigned char bytes[16];
    bool literal = inet_pton(AF_INET, v.text, bytes) == 1 ||
                   inet_pton(AF_INET6, v.text, bytes) == 1 || strcmp(v.text, "AUTO") == 0;
    if (literal) {
      snprintf(pConfig->ExternIP, sizeof pConfig->ExternIP, "%s", v.text);
    } else {
      snprintf(pConfig->ExternHost, sizeof pConfig->ExternHost, "%s", v.text);
      snprintf(pConfig->ExternIP, sizeof pConfig->ExternIP, "%s", "0.0.0.0");
    }
    return 0;
  }
  if (ExternIpAbsent(pConfig->Address) != 0) return -1;
  snprintf(pConfig->ExternIP, sizeof pConfig->ExternIP, "%s", pConfig->Address);
  return 0;
}

static int ApplyTimeout(Server *pConfig, const IniValue &v) {
  pConfig->TimeoutTime = v.state == IniState::kGiven ? (int32_t)v.number : 240;
  return 0;
}

static int ApplyMaxUsers(Server *pConfig, const IniValue &v) {
  if (v.state != IniState::kGiven) {
    pConfig->MaxUsers = 10;
    return 0;
  }
  // Above the limit means the limit, and is said.
  pConfig->MaxUsers = v.number > kMostUsers ? kMostUsers : (uint32_t)v.number;
  if (pConfig->MaxUsers != v.number) fprintf(stderr, kMaxUsersLowered, kMostUsers, kMostUsers);
  return 0;
}

// Without the key (or with 0) a quarter of MaxUsers applies, and nothing
// is said about it.
static int ApplyMaxPerAddress(Server *pConfig, const IniValue &v) {
  pConfig->limits.maxPerAddress = DefaultMaxPerAddress(pConfig->MaxUsers, kLeastPerAddress);
  if (v.state == IniState::kGiven && v.number != 0)
    pConfig->limits.maxPerAddress = (uint32_t)v.number;
  return 0;
}

static int ApplyPort(Server *pConfig, const IniValue &v) {
  pConfig->Port = v.state == IniState::kGiven ? (uint32_t)v.number : 21;
  return 0;
}

// The passive ports run from DataPort to DataPort+MaxUsers, clear of the
// command port. A default DataPort is not judged.
static int ApplyDataPort(Server *pConfig, const IniValue &v) {
  if (v.state != IniState::kGiven) {
    pConfig->DataPort = 6000;
    return 0;
  }
  pConfig->DataPort = (uint32_t)v.number;
  uint32_t last = pConfig->DataPort + pConfig->MaxUsers;
  if (last >= 65535) {
    IniSayWhere(v);
    fprintf(stderr, kDataPortTooHigh, 65535L - (long)pConfig->MaxUsers);
    return -1;
  }
  if (pConfig->Port >= pConfig->DataPort && last >= pConfig->Port) {
    IniSayWhere(v);
    fputs(kDataPortConflict, stderr);
    return -1;
  }
  return 0;
}

static int ApplyTlsCertificate(Server *pConfig, const IniValue &v) {
  if (v.state == IniState::kGiven)
    snprintf(pConfig->TLSCertificate, sizeof pConfig->TLSCertificate, "%s", v.text);
  return 0;
}

static bool OctalMode(const char *text) {
  size_t n = strlen(text);
  return n >= 1 && n <= 4 && strspn(text, "01234567") == n && strtoul(text, nullptr, 8) <= 0777;
}

static int ApplyUploadMode(Server *pConfig, const IniValue &v) {
  pConfig->uploadMode =
      v.state == IniState::kGiven ? (uint32_t)strtoul(v.text, nullptr, 8) : kUploadModeDefault;
  return 0;
}

static int ApplyQuotaDir(Server *pConfig, const IniValue &v) {
  snprintf(pConfig->quotaDir, sizeof pConfig->quotaDir, "%s",
           v.state == IniState::kGiven ? v.text : "");
  return 0;
}

static int ApplyProxyProtocol(Server *pConfig, const IniValue &v) {
  return ApplyProxyProtocol(v, &pConfig->proxies);
}

static int ApplyTrustedProxies(Server *pConfig, const IniValue &v) {
  return ApplyTrustedProxies(v, &pConfig->proxies);
}

static int ApplyUser(Server *pConfig, const IniValue &v) {
  ApplyRunAsUser(v, &pConfig->runAs);
  return 0;
}

static int ApplyGroup(Server *pConfig, const IniValue &v) {
  ApplyRunAsGroup(v, &pConfig->runAs);
  return 0;
}

static int ApplyTlsKey(Server *pConfig, const IniValue &v) {
  if (v.state == IniState::kGiven)
    snprintf(pConfig->TLSKey, sizeof pConfig->TLSKey, "%s", v.text);
  return 0;
}

// The last of the TLS keys: the three are judged together and the files
// loaded here, so a bad one stops the start with its reason.
static int ApplyRequireTls(Server *pConfig, const IniValue &v) {
  pConfig->RequireTLS = v.state == IniState::kGiven ? v.text[0] : '0';
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
  char error[kTlsErrorSize];
  pConfig->tlsContext = TlsServerContext(pConfig->TLSCertificate, pConfig->TLSKey,
                                         false, error, sizeof error);
  if (!pConfig->tlsContext) {
    fprintf(stderr, "%s\n", error);
    return -1;
  }
  return 0;
}

// Read after the TLS files are loaded: an implicit port without them could
// only refuse every client.
static int ApplyImplicitPort(Server *pConfig, const IniValue &v) {
  pConfig->TLSImplicitPort = v.state == IniState::kGiven ? (uint32_t)v.number : 0;
  if (pConfig->TLSImplicitPort == 0) return 0;
  if (!pConfig->tlsContext) {
    fputs(kImplicitAlone, stderr);
    return -1;
  }
  uint32_t port = pConfig->TLSImplicitPort;
  if (port == pConfig->Port ||
      (port >= pConfig->DataPort && port <= pConfig->DataPort + pConfig->MaxUsers)) {
    fputs(kImplicitConflict, stderr);
    return -1;
  }
  return 0;
}

// zolf.ini, in the order the keys are read and their messages printed.
// A port that is no whole number from 1 to 65535 stops the start: taken as
// some default it would put the server where nobody looks for it. Explicit
// TLS (the certificate and key files, and whether USER has to wait for AUTH
// TLS) is optional and quiet when absent.
static const IniEntry<Server> kKeys[] = {
    {{"MaximumBandwidth=", IniType::kNumber, kIniNoteAbsent, kBandwidthDefault, nullptr,
      nullptr, 0, kMostBandwidth},
     ApplyBandwidth},
    {IniSaying(kAddressKey, kAddressDefault), ApplyAddressKey},
    {ZolfExternIp(), ApplyExternIp},
    {{"TimeoutTime=", IniType::kNumber, kIniNoteAbsent, kTimeoutDefault, nullptr, nullptr, 0,
      INT32_MAX},
     ApplyTimeout},
    // Above kMostUsers is lowered to it, and said.
    {{"MaxUsers=", IniType::kNumber, kIniNoteAbsent, kMaxUsersDefault, nullptr, nullptr, 0},
     ApplyMaxUsers},
    {kMaxPerAddressKey, ApplyMaxPerAddress},
    {IniSaying(kPortKey, kPortDefault), ApplyPort},
    {{"DataPort=", IniType::kPort, kIniNoteAbsent | kIniRefusedStops, kDataPortDefault,
      kBadDataPort},
     ApplyDataPort},
    {kTlsCertificateKey, ApplyTlsCertificate},
    {kTlsKeyKey, ApplyTlsKey},
    // Optional and quiet when absent: 0644, a file others (a web server)
    // may read. Set-id bits are refused: an upload must never carry them.
    {{"UploadMode=", IniType::kText, kIniRefusedStops, nullptr, kUploadModeInvalid, nullptr,
      INT64_MIN, INT64_MAX, OctalMode, 0, "an octal file mode from 0 to 0777"},
     ApplyUploadMode},
    // Optional and quiet when absent: the records lie beside the accounts.
    {{"QuotaDir=", IniType::kText, 0, nullptr, nullptr, nullptr, INT64_MIN, INT64_MAX, nullptr,
      kHomeSize},
     ApplyQuotaDir},
    {kProxyProtocolKey, ApplyProxyProtocol},
    {kTrustedProxiesKey, ApplyTrustedProxies},
    {kUserKey, ApplyUser},
    {kGroupKey, ApplyGroup},
    {{"RequireTLS=", IniType::kFlag, kIniRefusedStops, nullptr, kRequireTlsInvalid},
     ApplyRequireTls},
    // Optional and quiet when absent: no implicit TLS listener.
    {{"TLSImplicitPort=", IniType::kPort, kIniRefusedStops, nullptr, kBadImplicitPort},
     ApplyImplicitPort},
    {kLogMaxEntriesKey, ApplyToLog<Server, ApplyLogMaxEntries>},
    {kLogRotationKey, ApplyToLog<Server, ApplyLogRotation>},
    {kLogMaxAgeKey, ApplyToLog<Server, ApplyLogMaxAge>},
    {kLogDirKey, ApplyToLog<Server, ApplyLogDir>},
};

// An account whose root is missing can log in but do nothing; the operator
// hears of it at the start rather than from the user, as of a password in
// clear text; the temporary files a crash left in a root go. The account
// files are only looked at here: each login reads its own file again.
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
    char root[kRootValueSize];
    char password[kPassWordSize];
    // The account reader prints its own messages for a missing or bad key
    // when the user logs in; here only a root that is given is judged,
    // by a lookup that is silent when the key is absent.
    bool opened = OpenIni(&ini, path) == 0;
    e->d_name[n - 4] = '\0';
    // "/" is no root an account may have (the reader refuses it): it is
    // never looked through.
    bool rooted = opened && IniFind(&ini, "RootDirectory=", root, sizeof root) == 0 &&
                  root[0] == '/' && root[1] != '\0';
    if (rooted && StatPath(root) != kDirectory)
      fprintf(stderr, kRootNotDirectory, e->d_name, root);
    // Temporary files of uploads a crash cut short: never finished, never
    // charged, never shown; they only take room.
    else if (rooted)
      RemoveLeftOverUploads(root, false);
    // A clear password is still accepted, as files written before hashes
    // rely on it; the operator hears once which accounts keep one.
    if (opened && IniFind(&ini, "PassWord=", password, sizeof password) == 0 &&
        password[0] != '\0') {
      if (CheckStoredPassword(password) != 0)
        fprintf(stderr, kBadPasswordHash, e->d_name);
      else if (!IsPasswordHash(password))
        fprintf(stderr, kClearPassword, e->d_name);
    }
    CloseIni(&ini);
  }
  closedir(dir);
}

int InitConfig(Server *pConfig, const char *fileName, Log *log) {
  memset(pConfig, 0, sizeof *pConfig);
  pConfig->log = log;
  pConfig->listenSocket = -1;
  pConfig->implicitSocket = -1;
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
  // A key mistyped is a fault, not a default taken in silence.
  const char *names[sizeof kKeys / sizeof kKeys[0]];
  size_t count = 0;
  IniNames(kKeys, names, &count);
  int result = IniCheckLines(&ini, names, count) == 0
                   ? ReadKeys(&ini, kKeys, pConfig, kValueSize)
                   : -1;
  CloseIni(&ini);
  if (result == 0) CheckAccountRoots(pConfig);
  return result;
}
