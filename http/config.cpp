#include "config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "beneath.h"
#include "client_limits.h"
#include "files.h"
#include "http_server.h"
#include "ini.h"
#include "passwords.h"
#include "rotating_log.h"
#include "shared_keys.h"
#include "startup.h"
#include "string_helpers.h"

namespace {

// Debian's list of media types (package media-types), when present.
const char kSystemTypesPath[] = "/etc/mime.types";
const char kNoCwd[] = "Could not get current working directory.\n";
const char kCannotOpen[] = "Could not open %s.\n";
const char kNoAddress[] = "Parameter Address is missing (using 127.0.0.1).\n";
const char kBadTlsPort[] = "TLSPort entry is not valid: %s\n";
const char kTlsFilesMissing[] = "TLSPort needs TLSCertificate and TLSKey.\n";
const char kTlsPortTaken[] = "TLSPort must differ from Port.\n";
const char kMaxConnZero[] =
    "Max connections is 0. This will disable the server.";
const char kMaxConnCapped[] =
    "MaxConnections is above %u. Using MaxConnections=%u.\n";
const char kBadListing[] = "DirectoryListing value must be either 0 or 1.\n";
const char kBadCompressed[] =
    "CompressedVariants value must be either 0 or 1.\n";
const char kBadShowProtected[] =
    "ShowProtectedFiles value must be either 0 or 1.\n";
const char kOutOfMemory[] = "AddListItem failed (out of memory?).\n";
const char kTypeEmpty[] = "AddType entry is not valid (zero length).\n";
const char kTypeNoSemicolon[] =
    "AddType entry is not valid (could not found ;).\n";
const char kTypeNoType[] = "AddType entry is not valid (no type specified).\n";
const char kHeaderBad[] =
    "AddHeader entry is not valid (PREFIX;Name: value, without control "
    "characters).\n";
const char kForbiddenEmpty[] = "AddForbidden entry can not be zero length.\n";
const char kUserBad[] =
    "AddUser entry is either too short or too large or username part is "
    "missing.\n";
const char kUserBadHash[] =
    "AddUser entry for %s holds a password hash libcrypt does not accept.\n";
const char kUserClear[] =
    "WARNING! AddUser %s: the password is clear text; store a hash (mirt -hash).\n";
const char kIndexBad[] = "AddIndex entry is zero length or too large.\n";
const char kIndexChars[] = "\\, / and : are not allowed in AddIndex entry.\n";
const char kHostBad[] = "AddHost entry is zero length or too large.\n";
const char kHostNoSemicolon[] =
    "AddHost entry is not valid (could not found ;).\n";
const char kHostNoPath[] = "AddHost entry is missing path.\n";
const char kHostPathLong[] = "AddHost entry path too long.\n";
const char kHostNotFull[] =
    "AddHost entry is not valid (path must begin with /).\n";
// Said for AddHost paths too: the wording is kept as it has always been.
const char kShortPath[] = "Specify full path for AddVirtual entries.\n";
const char kVirtualLong[] = "AddVirtual entry is too large.\n";
const char kVirtualNoSemicolon[] =
    "AddVirtual entry is not valid (could not found ;).\n";
const char kVirtualNoPath[] = "AddVirtual entry is missing path.\n";
const char kVirtualNotFull[] =
    "AddVirtual entry is not valid (path must begin with /).\n";
const char kVirtualMissing[] = "AddVirtual is missing.\n";
const char kBadWorkers[] = "Workers=%s is not valid: auto, or a number from 1 to 256.\n";
const char kBadLogFormat[] = "LogFormat value must be either mirt or combined.\n";
const char kRootNotDirectory[] =
    "Web root directory %s does not exist or is not a directory.\n";
const char kVirtualNotDirectory[] =
    "WARNING! AddVirtual entry %s: %s does not exist or is not a directory.\n";
const char kHostNotDirectory[] =
    "WARNING! AddHost entry %s: %s does not exist or is not a directory.\n";

// Each connection may hold two descriptors (socket and file) and a record
// of some 6 KiB; a hundred thousand is as far as one process goes here.
const uint32_t kMostConnections = 1000000;
// A document root's path: what the system takes (PATH_MAX with its NUL).
// Roots are held in the lists' own heap texts; the name buffer of a
// request is sized for the longest.
const size_t kMostRootPath = PATH_MAX - 1;
// AddHost and AddVirtual values: a name or URL prefix (below 512), ';',
// the root.
const uint32_t kRootValueSize = 512 + 1 + kMostRootPath + 2;
// Without MaxConnections=: enough for real browsers and several clients.
const uint32_t kDefaultConnections = 1024;
// A browser opens six connections per host, more over several tabs.
const uint32_t kLeastPerAddress = 32;
const size_t kUserEntryMost = 31 + 1 + kPasswordMost;
const int kDefaultKeepAlive = 5;
// Worker processes: more than this is a typo, not a machine (kBadWorkers
// names it).
const int kMostWorkers = 256;
// Ten wrong credentials within a minute, and the address gets 401 for
// every guarded name, without any check, until that minute is over.
const LoginBudget kLoginBudget = {10, 60 * 1000};

int Fail(const char *message) {
  fputs(message, stderr);
  return -1;
}

// A fault about one line of the file: where it stands, then what is wrong.
int FailAt(const IniValue &v, const char *message) {
  IniSayWhere(v);
  return Fail(message);
}

// Cuts the item's text at its first ';' (when there is one) and returns the
// second field, or null when there was no ';'.
char *CutAtSemicolon(ListItem *item) {
  char *semi = strchr(item->text, ';');
  if (!semi) return nullptr;
  *semi = '\0';
  item->length = (uint32_t)(semi - item->text);
  return semi + 1;
}

// A full path on this system begins with '/' and keeps at least two
// characters once one trailing separator is gone.
int CheckFullPath(const IniValue &v, char *path, const char *notFull) {
  RemoveTrailing(path);
  if (strlen(path) < 2) return FailAt(v, kShortPath);
  if (path[0] != '/') return FailAt(v, notFull);
  return 0;
}

int ApplyPort(HttpServer *s, const IniValue &v) {
  s->port = v.state == IniState::kGiven ? (int)v.number : 80;
  return 0;
}

int ApplyAddressKey(HttpServer *s, const IniValue &v) {
  ApplyAddress(v, s->address, sizeof s->address);
  return 0;
}

int ApplyExternIp(HttpServer *s, const IniValue &v) {
  if (v.state == IniState::kGiven) {
    snprintf(s->baseURL, sizeof s->baseURL, "%s", v.text);
    return 0;
  }
  if (ExternIpAbsent(s->address) != 0) return -1;
  char host[kAddressTextSize + 2];
  UrlHost(s->address, host, sizeof host);
  snprintf(s->baseURL, sizeof s->baseURL, "http://%s", host);
  return 0;
}

// 0: no deadline.
int ApplyTimeout(HttpServer *s, const IniValue &v) {
  s->timeout = v.state == IniState::kGiven ? (int)v.number : 30;
  return 0;
}

int ApplyMaxConnections(HttpServer *s, const IniValue &v) {
  s->maxConnections = kDefaultConnections;
  if (v.state != IniState::kGiven) return 0;
  s->maxConnections = v.number > UINT32_MAX ? UINT32_MAX : (uint32_t)v.number;
  if (s->maxConnections > kMostConnections) {
    fprintf(stderr, kMaxConnCapped, kMostConnections, kMostConnections);
    s->maxConnections = kMostConnections;
  }
  return 0;
}

int ApplyKeepAlive(HttpServer *s, const IniValue &v) {
  s->keepAliveTimeout = v.state == IniState::kGiven ? (int)v.number : kDefaultKeepAlive;
  return 0;
}

int ApplyExtendedMessages(HttpServer *s, const IniValue &v) {
  s->extendedMessages = v.state == IniState::kGiven ? v.text[0] : '1';
  return 0;
}

// Only the first character counts: "1 (on)" is on.
bool StartsWithFlag(const char *text) { return text[0] == '0' || text[0] == '1'; }

int ApplyDirectoryListing(HttpServer *s, const IniValue &v) {
  s->directoryListing = v.state == IniState::kGiven ? v.text[0] : '0';
  return 0;
}

// On unless turned off.
int ApplyCompressedVariants(HttpServer *s, const IniValue &v) {
  s->compressedVariants = v.state == IniState::kGiven ? v.text[0] : '1';
  return 0;
}

int ApplyShowProtected(HttpServer *s, const IniValue &v) {
  if (v.state == IniState::kGiven && v.text[0] == '1' && s->directoryListing != '0')
    s->directoryListing = '2';
  return 0;
}

// 0 means the default.
int ApplyMaxPerAddress(HttpServer *s, const IniValue &v) {
  bool given = v.state == IniState::kGiven && v.number > 0;
  s->limits.maxPerAddress =
      given ? (uint32_t)v.number : DefaultMaxPerAddress(s->maxConnections, kLeastPerAddress);
  return 0;
}

bool AutoOrWorkers(const char *text) {
  if (strcmp(text, "auto") == 0) return true;
  if (!IniDigitsOnly(text)) return false;
  long n = ParseLong(text);
  return n >= 1 && n <= kMostWorkers;
}

// auto: one worker per processor this process may run on.
int ApplyWorkers(HttpServer *s, const IniValue &v) {
  s->workers = 1;
  if (v.state != IniState::kGiven) return 0;
  int n = strcmp(v.text, "auto") == 0 ? UsableCores() : (int)ParseLong(v.text);
  s->workers = n < 1 ? 1 : n > kMostWorkers ? kMostWorkers : n;
  return 0;
}

int ApplyTlsPort(HttpServer *s, const IniValue &v) {
  s->tlsPort = v.state == IniState::kGiven ? (int)v.number : 0;
  return 0;
}

int ApplyTlsCertificate(HttpServer *s, const IniValue &v) {
  if (v.state == IniState::kGiven)
    snprintf(s->tlsCertificate, sizeof s->tlsCertificate, "%s", v.text);
  return 0;
}

// The last of the HTTPS keys, which may stand in any order: a port without
// the files cannot serve.
int ApplyTlsKey(HttpServer *s, const IniValue &v) {
  if (v.state == IniState::kGiven) snprintf(s->tlsKey, sizeof s->tlsKey, "%s", v.text);
  if (s->tlsPort == 0) return 0;
  if (s->tlsCertificate[0] == '\0' || s->tlsKey[0] == '\0') return Fail(kTlsFilesMissing);
  if (s->tlsPort == s->port) return Fail(kTlsPortTaken);
  return 0;
}

// One AddHost line would make every Host value but its own go through the
// host list and find nothing: virtual hosting needs two or more.
void SettleHosts(HttpServer *s) {
  ListItem *h = s->hosts;
  if (!h) return;
  if (!h->next) {
    FreeList(&s->hosts);
    return;
  }
  while (h->next) h = h->next;
  s->defaultHost = h->text;
}

// Every directory the configuration names is looked at once, before the
// start: a mistyped main root would answer every request with 404, so it
// stops the server; a mistyped host or virtual directory only affects its
// own requests, so it is a warning naming the entry.
int CheckDirectories(const HttpServer *s) {
  for (const ListItem *h = s->hosts; h; h = h->next)
    if (StatPath(SecondField(h)) != kDirectory)
      fprintf(stderr, kHostNotDirectory, h->text, SecondField(h));
  for (const ListItem *v = s->virtuals; v; v = v->next) {
    if (StatPath(SecondField(v)) == kDirectory) continue;
    if (!v->next) {
      fprintf(stderr, kRootNotDirectory, SecondField(v));
      return -1;
    }
    fprintf(stderr, kVirtualNotDirectory, v->text, SecondField(v));
  }
  return 0;
}

// One descriptor per entry, even where entries share a root: a handful per
// configuration, for the life of the process.
void HoldRoot(ListItem *item) { item->rootFd = OpenRoot(SecondField(item)); }

// The last AddVirtual entry is the main root: without one there is
// nothing to serve.
int SettleRoots(HttpServer *s) {
  const ListItem *last = s->virtuals;
  if (!last) return Fail(kVirtualMissing);
  while (last->next) last = last->next;
  s->webRoot = SecondField(last);
  if (CheckDirectories(s) != 0) return -1;
  for (ListItem *h = s->hosts; h; h = h->next) HoldRoot(h);
  for (ListItem *v = s->virtuals; v; v = v->next) HoldRoot(v);
  return 0;
}

int AddType(HttpServer *s, const IniValue &v) {
  if (v.state == IniState::kEnd) return 0;
  const char *value = v.text;
  ListItem *item = AddListItem(&s->types, value);
  if (!item) return Fail(kOutOfMemory);
  char *type = CutAtSemicolon(item);
  if (!type) return FailAt(v, kTypeNoSemicolon);
  if (type[0] == '\0') return FailAt(v, kTypeNoType);
  return 0;
}

// A header line goes into answers as written, so it must be one line of
// the form "Name: value", the name a token.
int AddHeader(HttpServer *s, const IniValue &v) {
  if (v.state == IniState::kEnd) return 0;
  ListItem *item = AddListItem(&s->headers, v.text);
  if (!item) return Fail(kOutOfMemory);
  const char *line = CutAtSemicolon(item);
  if (!line || item->length == 0 || strlen(line) > 512) return FailAt(v, kHeaderBad);
  size_t name = strcspn(line, ":");
  if (name == 0 || line[name] != ':' || strcspn(line, " \t") < name) return FailAt(v, kHeaderBad);
  for (const unsigned char *p = (const unsigned char *)line; *p; p++)
    if ((*p < 0x20 && *p != '\t') || *p == 0x7f) return FailAt(v, kHeaderBad);
  return 0;
}

int AddForbidden(HttpServer *s, const IniValue &v) {
  if (v.state == IniState::kEnd) return 0;
  const char *value = v.text;
  ListItem *item = AddListItem(&s->forbidden, value);
  if (!item) return Fail(kOutOfMemory);
  CutAtSemicolon(item);
  return 0;
}

int ApplyProxyProtocol(HttpServer *s, const IniValue &v) {
  return ApplyProxyProtocol(v, &s->proxies);
}

int ApplyTrustedProxies(HttpServer *s, const IniValue &v) {
  return ApplyTrustedProxies(v, &s->proxies);
}

int ApplyUser(HttpServer *s, const IniValue &v) {
  ApplyRunAsUser(v, &s->runAs);
  return 0;
}

int ApplyGroup(HttpServer *s, const IniValue &v) {
  ApplyRunAsGroup(v, &s->runAs);
  return 0;
}

int AddUser(HttpServer *s, const IniValue &v) {
  if (v.state == IniState::kEnd) return 0;
  const char *value = v.text;
  size_t n = strlen(value);
  // A name of up to 31 characters, ';' and a password of up to 128 bytes
  // or a hash of one.
  if (n < 2 || n > kUserEntryMost || value[0] == ';') return FailAt(v, kUserBad);
  ListItem *item = AddListItem(&s->users, value);
  if (!item) return Fail(kOutOfMemory);
  const char *password = CutAtSemicolon(item);
  if (!password) return 0;
  if (CheckStoredPassword(password) != 0) {
    IniSayWhere(v);
    fprintf(stderr, kUserBadHash, item->text);
    return -1;
  }
  // Clear text still works, as files written before hashes rely on it;
  // the operator hears once which users keep one.
  if (!IsPasswordHash(password)) fprintf(stderr, kUserClear, item->text);
  return 0;
}

int AddIndex(HttpServer *s, const IniValue &v) {
  if (v.state == IniState::kEnd) return 0;
  const char *value = v.text;
  size_t n = strlen(value);
  if (n == 0 || n > 15) return FailAt(v, kIndexBad);
  if (strpbrk(value, "\\/:")) return FailAt(v, kIndexChars);
  if (!AddListItem(&s->indexes, value)) return Fail(kOutOfMemory);
  return 0;
}

int AddHost(HttpServer *s, const IniValue &v) {
  if (v.state == IniState::kEnd) {
    SettleHosts(s);
    return 0;
  }
  const char *value = v.text;
  size_t n = strlen(value);
  if (n == 0 || n > 128 + 1 + kMostRootPath) return FailAt(v, kHostBad);
  ListItem *item = AddListItem(&s->hosts, value);
  if (!item) return Fail(kOutOfMemory);
  char *path = CutAtSemicolon(item);
  if (!path) return FailAt(v, kHostNoSemicolon);
  if (path[0] == '\0') return FailAt(v, kHostNoPath);
  if (strlen(path) > kMostRootPath) return FailAt(v, kHostPathLong);
  return CheckFullPath(v, path, kHostNotFull);
}

int AddVirtual(HttpServer *s, const IniValue &v) {
  if (v.state == IniState::kEnd) return SettleRoots(s);
  const char *value = v.text;
  size_t n = strlen(value);
  if (n == 0 || n > kRootValueSize - 2) return FailAt(v, kVirtualLong);
  ListItem *item = AddListItem(&s->virtuals, value);
  if (!item) return Fail(kOutOfMemory);
  char *path = CutAtSemicolon(item);
  if (!path) return FailAt(v, kVirtualNoSemicolon);
  if (path[0] == '\0') return FailAt(v, kVirtualNoPath);
  if (strlen(path) > kMostRootPath) return FailAt(v, kVirtualLong);
  return CheckFullPath(v, path, kVirtualNotFull);
}

bool MirtOrCombined(const char *text) {
  return strcmp(text, "mirt") == 0 || strcmp(text, "combined") == 0;
}

// Optional and quiet when absent: the server's own line stays the
// default.
int ApplyLogFormat(HttpServer *s, const IniValue &v) {
  s->logFormat = v.state == IniState::kGiven && strcmp(v.text, "combined") == 0 ? 'c' : 'm';
  return 0;
}

// mirt.ini, in the order the keys are read and their messages printed.
// A port that is no number, or out of range, would otherwise wrap to some
// other port or to one the system picks. HTTPS (TLSPort with the
// certificate and key files) is optional and quiet when absent. Every
// line of a repeated key is handled in file order.
const IniEntry<HttpServer> kKeys[] = {
    {kPortKey, ApplyPort},
    {IniSaying(kAddressKey, kNoAddress), ApplyAddressKey},
    {kExternIpKey, ApplyExternIp},
    {{"Timeout=", IniType::kNumber, kIniNoteAbsent, nullptr, nullptr, nullptr, 0, INT32_MAX},
     ApplyTimeout},
    // Above kMostConnections is lowered to it, and said.
    {{"MaxConnections=", IniType::kNumber, kIniNoteAbsent | kIniRefusedStops, nullptr,
      kMaxConnZero, nullptr, 1},
     ApplyMaxConnections},
    {{"KeepAliveTimeout=", IniType::kNumber, 0, nullptr, nullptr, nullptr, 0, 86400},
     ApplyKeepAlive},
    // Only the first character counts, as for the two keys below. It and
    // ShowProtectedFiles are optional and quiet when absent: 1 and 0.
    {{"ExtendedMessages=", IniType::kText, 0, nullptr, nullptr, nullptr, INT64_MIN,
      INT64_MAX, StartsWithFlag, 0, "0 or 1"},
     ApplyExtendedMessages},
    {{"DirectoryListing=", IniType::kText, kIniNoteAbsent | kIniRefusedStops, nullptr,
      kBadListing, nullptr, INT64_MIN, INT64_MAX, StartsWithFlag},
     ApplyDirectoryListing},
    {{"ShowProtectedFiles=", IniType::kText, kIniRefusedStops, nullptr,
      kBadShowProtected, nullptr, INT64_MIN, INT64_MAX, StartsWithFlag},
     ApplyShowProtected},
    {{"CompressedVariants=", IniType::kFlag, kIniRefusedStops, nullptr, kBadCompressed},
     ApplyCompressedVariants},
    {kMaxPerAddressKey, ApplyMaxPerAddress},
    {{"Workers=", IniType::kText, kIniRefusedStops, nullptr, kBadWorkers, nullptr,
      INT64_MIN, INT64_MAX, AutoOrWorkers},
     ApplyWorkers},
    {{"TLSPort=", IniType::kPort, kIniRefusedStops, nullptr, kBadTlsPort}, ApplyTlsPort},
    {kTlsCertificateKey, ApplyTlsCertificate},
    {kTlsKeyKey, ApplyTlsKey},
    {kProxyProtocolKey, ApplyProxyProtocol},
    {kTrustedProxiesKey, ApplyTrustedProxies},
    {kUserKey, ApplyUser},
    {kGroupKey, ApplyGroup},
    {{"AddType=", IniType::kRepeated, kIniEmptyStops, nullptr, nullptr,
      kTypeEmpty},
     AddType},
    {{"AddHeader=", IniType::kRepeated, 0}, AddHeader},
    // A name anywhere in the path: as long as a path may be.
    {{"AddForbidden=", IniType::kRepeated, kIniEmptyStops, nullptr, nullptr, kForbiddenEmpty,
      INT64_MIN, INT64_MAX, nullptr, PATH_MAX + 1},
     AddForbidden},
    {{"AddUser=", IniType::kRepeated, 0}, AddUser},
    {{"AddIndex=", IniType::kRepeated, 0}, AddIndex},
    {{"AddHost=", IniType::kRepeated, 0, nullptr, nullptr, nullptr, INT64_MIN, INT64_MAX,
      nullptr, kRootValueSize},
     AddHost},
    {{"AddVirtual=", IniType::kRepeated, 0, nullptr, nullptr, nullptr, INT64_MIN, INT64_MAX,
      nullptr, kRootValueSize},
     AddVirtual},
    {kLogMaxEntriesKey, ApplyToLog<HttpServer, ApplyLogMaxEntries>},
    {kLogRotationKey, ApplyToLog<HttpServer, ApplyLogRotation>},
    {kLogMaxAgeKey, ApplyToLog<HttpServer, ApplyLogMaxAge>},
    {kLogDirKey, ApplyToLog<HttpServer, ApplyLogDir>},
    {{"LogFormat=", IniType::kText, kIniRefusedStops, nullptr, kBadLogFormat, nullptr,
      INT64_MIN, INT64_MAX, MirtOrCombined},
     ApplyLogFormat},
};

}  // namespace

ListItem *AddListItem(ListItem **head, const char *text) {
  size_t n = strlen(text);
  ListItem *item = (ListItem *)malloc(sizeof(ListItem));
  if (!item) return nullptr;
  item->text = (char *)malloc(n + 2);
  if (!item->text) {
    free(item);
    return nullptr;
  }
  memcpy(item->text, text, n + 1);
  item->text[n + 1] = '\0';
  item->length = (uint32_t)n;
  item->next = nullptr;
  item->rootFd = -1;
  while (*head) head = &(*head)->next;
  *head = item;
  return item;
}

void FreeList(ListItem **head) {
  ListItem *item = *head;
  while (item) {
    ListItem *next = item->next;
    if (item->rootFd >= 0) close(item->rootFd);
    free(item->text);
    free(item);
    item = next;
  }
  *head = nullptr;
}

int InitConfig(const char *path, HttpServer *s, Log *log) {
  s->clients = 0;
  s->forbidden = s->types = s->virtuals = s->hosts = s->users = s->indexes =
      s->headers = nullptr;
  s->connections = nullptr;
  s->log = log;
  s->webRoot = nullptr;
  s->backlog = SOMAXCONN;
  s->lastConnection = nullptr;
  s->loop = nullptr;
  s->limits.held = AddressTable{nullptr, 0};
  s->limits.budget = kLoginBudget;
  snprintf(s->serverName, sizeof s->serverName, "Mirt/1.7.1");
  snprintf(s->protocol, sizeof s->protocol, "HTTP/1.0");
  s->defaultHost = nullptr;
  s->listenSocket = -1;
  s->tlsListenSocket = -1;
  s->tlsContext = nullptr;
  s->tlsCertificate[0] = s->tlsKey[0] = s->tlsBaseURL[0] = '\0';
  // Every key's default comes from its apply function in kKeys.
  log->rotation = 0;

  if (!getcwd(s->homeDirectory, sizeof s->homeDirectory)) return Fail(kNoCwd);
  RemoveTrailing(s->homeDirectory);

  Ini ini;
  if (OpenIni(&ini, path) != 0) {
    fprintf(stderr, kCannotOpen, path);
    CloseIni(&ini);
    return -1;
  }
  // Values are read into 256-byte buffers: up to 254 characters.
  // A key mistyped is a fault, not a default taken in silence.
  const char *names[sizeof kKeys / sizeof kKeys[0]];
  size_t count = 0;
  IniNames(kKeys, names, &count);
  int r = IniCheckLines(&ini, names, count) == 0 ? ReadKeys(&ini, kKeys, s, 256) : -1;
  CloseIni(&ini);
  if (r == 0 && LoadSystemTypes(&s->systemTypes, kSystemTypesPath) != 0)
    return Fail(kOutOfMemory);
  return r;
}
