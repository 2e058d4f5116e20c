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
#include "rotating_log.h"
#include "string_helpers.h"

namespace {

const char kNoCwd[] = "Could not get current working directory.\n";
const char kCannotOpen[] = "Could not open %s.\n";
const char kBadPort[] = "Port=%s is not a port number from 1 to 65535.\n";
const char kNoAddress[] = "Parameter Address is missing (using 127.0.0.1).\n";
const char kEmptyAddress[] = "Address entry can't be zero length.\n";
const char kNoExternIpFatal[] = "Parameter ExternIP is missing.\n";
const char kNoExternIp[] = "Parameter ExternIP is missing (using Address).\n";
const char kBadTlsPort[] = "TLSPort entry is not valid: %s\n";
const char kTlsFilesMissing[] = "TLSPort needs TLSCertificate and TLSKey.\n";
const char kTlsPortTaken[] = "TLSPort must differ from Port.\n";
const char kEmptyExternIp[] = "ExternIP entry can't be zero length.\n";
const char kBadTimeout[] =
    "Timeout could not be determined. Timeout-time will be set to 240 s.\n";
const char kMaxConnZero[] =
    "Max connections is 0. This will disable the server.";
const char kMaxConnCapped[] =
    "MaxConnections is above %u. Using MaxConnections=%u.\n";
const char kBadKeepAlive[] =
    "KeepAliveTimeout could not be determined. Using KeepAliveTimeout=%d.\n";
const char kBadListing[] = "DirectoryListing value must be either 0 or 1.\n";
const char kBadShowProtected[] =
    "ShowProtectedFiles value must be either 0 or 1.\n";
const char kOutOfMemory[] = "AddListItem failed (out of memory?).\n";
const char kTypeEmpty[] = "AddType entry is not valid (zero length).\n";
const char kTypeNoSemicolon[] =
    "AddType entry is not valid (could not found ;).\n";
const char kTypeNoType[] = "AddType entry is not valid (no type specified).\n";
const char kForbiddenEmpty[] = "AddForbidden entry can not be zero length.\n";
const char kUserBad[] =
    "AddUser entry is either too short or too large or username part is "
    "missing.\n";
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
const char kBadLogFormat[] = "LogFormat value must be either mirt or combined.\n";
const char kRootNotDirectory[] =
    "Web root directory %s does not exist or is not a directory.\n";
const char kVirtualNotDirectory[] =
    "WARNING! AddVirtual entry %s: %s does not exist or is not a directory.\n";
const char kHostNotDirectory[] =
    "WARNING! AddHost entry %s: %s does not exist or is not a directory.\n";

// Each connection may hold two descriptors (socket and file) and a record
// of some 6 KiB; a hundred thousand is as far as one process goes here.
const uint32_t kMostConnections = 100000;
const int kDefaultKeepAlive = 5;
// Ten wrong credentials within a minute, and the address gets 401 for
// every guarded name, without any check, until that minute is over.
const LoginBudget kLoginBudget = {10, 60 * 1000};

int Fail(const char *message) {
  fputs(message, stderr);
  return -1;
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
int CheckFullPath(char *path, const char *notFull) {
  RemoveTrailing(path);
  if (strlen(path) < 2) return Fail(kShortPath);
  if (path[0] != '/') return Fail(notFull);
  return 0;
}

// HTTPS: TLSPort with the certificate and key files. All three are
// optional and quiet when absent; a port without the files cannot serve.
int ReadTlsKeys(Ini *ini, HttpServer *s, char *value) {
  if (IniFind(ini, "TLSPort=", value, 256) == 0) {
    s->tlsPort = ParsePort(value);
    if (s->tlsPort <= 0) {
      fprintf(stderr, kBadTlsPort, value);
      return -1;
    }
  }
  // Each looked up from the top: the three may stand in any order.
  if (IniFind(ini, "TLSCertificate=", value, 256) == 0)
    snprintf(s->tlsCertificate, sizeof s->tlsCertificate, "%s", value);
  if (IniFind(ini, "TLSKey=", value, 256) == 0)
    snprintf(s->tlsKey, sizeof s->tlsKey, "%s", value);
  if (s->tlsPort == 0) return 0;
  if (s->tlsCertificate[0] == '\0' || s->tlsKey[0] == '\0') return Fail(kTlsFilesMissing);
  if (s->tlsPort == s->port) return Fail(kTlsPortTaken);
  return 0;
}

int ReadSingles(Ini *ini, HttpServer *s, char *value) {
  if (ReadIni(ini, value, 256, "Port=") == 0) {
    // A port that is no number, or out of range, would otherwise wrap to
    // some other port or to one the system picks.
    s->port = ParsePort(value);
    if (s->port < 0) {
      fprintf(stderr, kBadPort, value);
      return -1;
    }
  }
  if (ReadIni(ini, value, 256, "Address=") == 0) {
    if (value[0] == '\0') return Fail(kEmptyAddress);
    // Room for the longest IPv6 text; what is cut off a longer value is
    // lost, as a dotted address always lost what passed 15 characters.
    snprintf(s->address, sizeof s->address, "%.45s", value);
  } else {
    fputs(kNoAddress, stderr);
    snprintf(s->address, sizeof s->address, "127.0.0.1");
  }
  if (ReadIni(ini, value, 256, "ExternIP=") == 0) {
    if (value[0] == '\0') return Fail(kEmptyExternIp);
    snprintf(s->baseURL, sizeof s->baseURL, "%s", value);
  } else {
    if (strcmp(s->address, "AUTO") == 0) return Fail(kNoExternIpFatal);
    fputs(kNoExternIp, stderr);
    char host[kAddressTextSize + 2];
    UrlHost(s->address, host, sizeof host);
    snprintf(s->baseURL, sizeof s->baseURL, "http://%s", host);
  }
  if (ReadIni(ini, value, 256, "Timeout=") == 0) {
    s->timeout = ParseInt(value);
    if (s->timeout == 0 && strcmp(value, "0") != 0) {
      fputs(kBadTimeout, stderr);
      s->timeout = 240;
    }
  }
  if (ReadIni(ini, value, 256, "MaxConnections=") == 0) {
    int64_t n = ParseLong(value);
    // A negative limit is no limit anyone meant: it counts as 0.
    s->maxConnections = n < 0 ? 0 : (n > UINT32_MAX ? UINT32_MAX : (uint32_t)n);
    if (s->maxConnections == 0) return Fail(kMaxConnZero);
    if (s->maxConnections > kMostConnections) {
      fprintf(stderr, kMaxConnCapped, kMostConnections, kMostConnections);
      s->maxConnections = kMostConnections;
    }
  }
  // An optional key: no missing-line note.
  if (IniFind(ini, "KeepAliveTimeout=", value, 256) == 0) {
    size_t digits = strspn(value, "0123456789");
    int64_t n = ParseLong(value);
    if (value[0] == '\0' || value[digits] != '\0' || n > 86400) {
      fprintf(stderr, kBadKeepAlive, kDefaultKeepAlive);
    } else {
      s->keepAliveTimeout = (int)n;
    }
  }
  if (ReadIni(ini, value, 256, "ExtendedMessages=") == 0)
    s->extendedMessages = value[0] ? value[0] : '1';
  if (ReadIni(ini, value, 256, "DirectoryListing=") == 0) {
    if (value[0] != '0' && value[0] != '1') return Fail(kBadListing);
    s->directoryListing = value[0];
  }
  if (ReadIni(ini, value, 256, "ShowProtectedFiles=") == 0) {
    if (value[0] != '0' && value[0] != '1') return Fail(kBadShowProtected);
    if (value[0] == '1' && s->directoryListing != '0')
      s->directoryListing = '2';
  }
  // Optional and quiet when absent. 0 (or anything unreadable) means the
  // default.
  int64_t perAddress = 0;
  if (IniFind(ini, "MaxPerAddress=", value, 256) == 0) perAddress = ParseLong(value);
  s->limits.maxPerAddress = perAddress > 0 && perAddress <= UINT32_MAX
                         ? (uint32_t)perAddress
                         : DefaultMaxPerAddress(s->maxConnections);
  return ReadTlsKeys(ini, s, value);
}

int AddType(HttpServer *s, const char *value) {
  if (value[0] == '\0') return Fail(kTypeEmpty);
  ListItem *item = AddListItem(&s->types, value);
  if (!item) return Fail(kOutOfMemory);
  char *type = CutAtSemicolon(item);
  if (!type) return Fail(kTypeNoSemicolon);
  if (type[0] == '\0') return Fail(kTypeNoType);
  return 0;
}

int AddForbidden(HttpServer *s, const char *value) {
  if (value[0] == '\0') return Fail(kForbiddenEmpty);
  ListItem *item = AddListItem(&s->forbidden, value);
  if (!item) return Fail(kOutOfMemory);
  CutAtSemicolon(item);
  return 0;
}

int AddUser(HttpServer *s, const char *value) {
  size_t n = strlen(value);
  if (n < 2 || n > 32 || value[0] == ';') return Fail(kUserBad);
  ListItem *item = AddListItem(&s->users, value);
  if (!item) return Fail(kOutOfMemory);
  CutAtSemicolon(item);
  return 0;
}

int AddIndex(HttpServer *s, const char *value) {
  size_t n = strlen(value);
  if (n == 0 || n > 15) return Fail(kIndexBad);
  if (strpbrk(value, "\\/:")) return Fail(kIndexChars);
  if (!AddListItem(&s->indexes, value)) return Fail(kOutOfMemory);
  return 0;
}

int AddHost(HttpServer *s, const char *value) {
  size_t n = strlen(value);
  if (n == 0 || n > 128) return Fail(kHostBad);
  ListItem *item = AddListItem(&s->hosts, value);
  if (!item) return Fail(kOutOfMemory);
  char *path = CutAtSemicolon(item);
  if (!path) return Fail(kHostNoSemicolon);
  if (path[0] == '\0') return Fail(kHostNoPath);
  if (strlen(path) > 31) return Fail(kHostPathLong);
  return CheckFullPath(path, kHostNotFull);
}

int AddVirtual(HttpServer *s, const char *value) {
  size_t n = strlen(value);
  if (n == 0 || n > 31) return Fail(kVirtualLong);
  ListItem *item = AddListItem(&s->virtuals, value);
  if (!item) return Fail(kOutOfMemory);
  char *path = CutAtSemicolon(item);
  if (!path) return Fail(kVirtualNoSemicolon);
  if (path[0] == '\0') return Fail(kVirtualNoPath);
  return CheckFullPath(path, kVirtualNotFull);
}

// Every occurrence of a repeated key is handled in file order.
int ReadRepeated(Ini *ini, HttpServer *s, char *value, const char *key,
                 int (*add)(HttpServer *, const char *)) {
  uint32_t at = 0;
  while (IniNext(ini, &at, key, value, 256) == 0)
    if (add(s, value) != 0) return -1;
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

// Optional and quiet when absent: the server's own line stays the
// default.
int ReadLogFormat(Ini *ini, HttpServer *s, char *value) {
  s->logFormat = 'm';
  if (IniFind(ini, "LogFormat=", value, 256) != 0 || strcmp(value, "mirt") == 0)
    return 0;
  if (strcmp(value, "combined") != 0) return Fail(kBadLogFormat);
  s->logFormat = 'c';
  return 0;
}

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
      nullptr;
  s->connections = nullptr;
  s->log = log;
  s->webRoot = nullptr;
  snprintf(s->address, sizeof s->address, "127.0.0.1");
  s->directoryListing = '0';
  s->extendedMessages = '1';
  s->maxConnections = 1;
  s->backlog = SOMAXCONN;
  s->port = 80;
  s->timeout = 30;
  s->keepAliveTimeout = kDefaultKeepAlive;
  s->lastConnection = nullptr;
  s->loop = nullptr;
  s->limits.held = AddressTable{nullptr, 0};
  s->limits.budget = kLoginBudget;
  snprintf(s->serverName, sizeof s->serverName, "Mirt/1.7.1");
  snprintf(s->protocol, sizeof s->protocol, "HTTP/1.0");
  s->defaultHost = nullptr;
  s->listenSocket = -1;
  s->tlsListenSocket = -1;
  s->tlsPort = 0;
  s->tlsContext = nullptr;
  s->tlsCertificate[0] = s->tlsKey[0] = s->tlsBaseURL[0] = '\0';
  log->rotation = 0;

  if (!getcwd(s->homeDirectory, sizeof s->homeDirectory)) return Fail(kNoCwd);
  RemoveTrailing(s->homeDirectory);

  Ini ini;
  if (OpenIni(&ini, path) != 0) {
    fprintf(stderr, kCannotOpen, path);
    CloseIni(&ini);
    return -1;
  }
  char value[256];
  int r = ReadSingles(&ini, s, value);
  if (r == 0) r = ReadRepeated(&ini, s, value, "AddType=", AddType);
  if (r == 0) r = ReadRepeated(&ini, s, value, "AddForbidden=", AddForbidden);
  if (r == 0) r = ReadRepeated(&ini, s, value, "AddUser=", AddUser);
  if (r == 0) r = ReadRepeated(&ini, s, value, "AddIndex=", AddIndex);
  if (r == 0) r = ReadRepeated(&ini, s, value, "AddHost=", AddHost);
  if (r == 0) SettleHosts(s);
  if (r == 0) r = ReadRepeated(&ini, s, value, "AddVirtual=", AddVirtual);
  if (r == 0) {
    const ListItem *last = s->virtuals;
    if (!last) {
      r = Fail(kVirtualMissing);
    } else {
      while (last->next) last = last->next;
      s->webRoot = SecondField(last);
      r = CheckDirectories(s);
    }
  }
  if (r == 0) {
    for (ListItem *h = s->hosts; h; h = h->next) HoldRoot(h);
    for (ListItem *v = s->virtuals; v; v = v->next) HoldRoot(v);
  }
  if (r == 0) r = ReadLogConfig(&ini, log, 256);
  if (r == 0) r = ReadLogFormat(&ini, s, value);
  CloseIni(&ini);
  return r;
}
