#include "data_connection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "addresses.h"
#include "command_channel.h"
#include "sockets.h"
#include "string_helpers.h"
#include "transfers.h"

static const char kNoSocket[] = "451 Could not create socket descriptor.\n";
static const char kNoBind[] = "451 Assigning a name to socket failed.\n";
static const char kNoListen[] = "451 Putting socket in listening mode failed.\n";
static const char kNoBlockingOff[] = "451 Setting socket to non-blocking failed.\n";
static const char kPassiveHead[] = "227 Entering Passive Mode (%s";
static const char kPassiveTail[] = ",%d,%d).\n";
static const char kPortMissing[] = "550 Can't process PORT without argument.\n";
static const char kPortBad[] = "550 Bad PORT arguments.\n";
static const char kPortConflict[] = "501 PORT with conflicting IP.\n";

// The address the client reached the server at, printed: passive
// listeners bind it alone, never every local address. An IPv4 client of a
// dual-stack listener reached a plain IPv4 address, and its data
// connection comes over IPv4. A link-local IPv6 address keeps its scope,
// without which it cannot be bound. False when it cannot be learnt.
static bool ServerAddress(int cmndSocket, char *out, size_t size) {
  NetAddress local;
  if (LocalAddressOf(cmndSocket, &local) != 0) return false;
  unsigned scope = IsIPv6(&local)
                       ? ((const struct sockaddr_in6 *)&local.sa)->sin6_scope_id
                       : 0;
  if (scope != 0)
    snprintf(out, size, "%s%%%u", local.text, scope);
  else
    snprintf(out, size, "%s", local.text);
  return true;
}

bool PortRefused(const Server *pConfig, int port) {
  // A privileged port is some other service of the client's host; the
  // server's own ports would have it talk to itself (a PORT to the command
  // port stores the server's greeting in a file).
  if (port < 1024 || (uint32_t)port == pConfig->Port) return true;
  uint32_t first = pConfig->DataPort;
  return (uint32_t)port >= first && (uint32_t)port - first <= pConfig->MaxUsers;
}

static const char kExtendedPassive[] = "229 Entering Extended Passive Mode (|||%d|)\n";
static const char kEpsvAllTaken[] = "200 EPSV ALL command successful.\n";
// The families this server speaks, listed whichever the session uses: the
// data connection must come from the client's own address, so a client
// picks its own family from the list.
static const char kFamilyNotServed[] = "522 Network protocol not supported, use (1,2)\n";
static const char kBadArgument[] = "501 Syntax error in parameters or arguments.\n";

// After EPSV ALL the client has promised to use EPSV alone: a NAT box
// between it and the server may rely on it.
static bool RefusedAfterEpsvAll(Request *pReq) {
  if (!pReq->epsvAll) return false;
  SendFTPstring(pReq, Mess503);
  return true;
}

// The session's listening data socket, for PASV and EPSV alike: 0, or the
// code of the refusal reply it queued.
static int StartPassive(Request *pReq) {
  DropTransfer(pReq);
  Server *pConfig = pReq->pConfig;
  // Any free port of DataPort..DataPort+MaxUsers, from a random start: a
  // port that followed from the session would tell another user of the
  // same host or NAT where to connect first, and a port busy elsewhere
  // (a TIME_WAIT of an active connection, another program) costs a retry,
  // not the session's transfers. SO_REUSEADDR (set by ListenOn) lets a
  // port whose previous data connection sits in TIME_WAIT be taken again.
  int stage = 0;
  char address[kAddressTextSize + 16];
  int sock = -1;
  unsigned port = 0;
  if (!ServerAddress(pReq->cmnd.io.fd, address, sizeof address))
    stage = 2;
  else
    sock = ListenOnAnyOf(address, pConfig->DataPort, pConfig->MaxUsers + 1, SOMAXCONN,
                         &stage, &port);
  pReq->xfer.port = (int32_t)port;
  if (sock >= SocketRoom(pReq->pConfig)) {
    close(sock);
    sock = -1;
    stage = 1;
  }
  if (sock < 0) {
    SendFTPstring(pReq, stage == 1 ? kNoSocket : stage == 2 ? kNoBind : kNoListen);
    return 451;
  }
  pReq->xfer.listenSocket = sock;
  pReq->xfer.passive = true;
  return 0;
}

// PASV and PORT carry IPv4 addresses only: on an IPv6 session the client
// is sent to EPSV and EPRT.
static bool RefusedOnIPv6(Request *pReq) {
  if (!IsIPv6(&pReq->clientAddress)) return false;
  SendFTPstring(pReq, kFamilyNotServed);
  return true;
}

int DoPASV(Request *pReq) {
  if (RefusedOnIPv6(pReq)) return 522;
  if (RefusedAfterEpsvAll(pReq)) return 503;
  int refused = StartPassive(pReq);
  if (refused) return refused;
  Server *pConfig = pReq->pConfig;
  // ExternIP copied from an IPv6 Address ("::" serving both families)
  // names no IPv4 host: the client is told the address it reached.
  const char *announced = pConfig->ExternIP;
  char local[kAddressTextSize + 16];
  if (strchr(announced, ':') && ServerAddress(pReq->cmnd.io.fd, local, sizeof local))
    announced = local;
  char reply[kCmndBufferSize];
  int n = snprintf(reply, sizeof reply, kPassiveHead, announced);
  for (int i = 0; i < n; i++)
    if (reply[i] == '.') reply[i] = ',';
  snprintf(reply + n, sizeof reply - (size_t)n, kPassiveTail,
           pReq->xfer.port / 256, pReq->xfer.port % 256);
  SendFTPstring(pReq, reply);
  return 227;
}

int DoEPSV(Request *pReq) {
  const char *arg = pReq->cmnd.space->argument;
  if (strcasecmp(arg, "ALL") == 0) {
    pReq->epsvAll = true;
    SendFTPstring(pReq, kEpsvAllTaken);
    return 200;
  }
  // The data connection comes by the session's own family: 1 on an IPv4
  // session, 2 on an IPv6 one.
  const char *own = IsIPv6(&pReq->clientAddress) ? "2" : "1";
  if (arg[0] != '\0' && strcmp(arg, own) != 0) {
    bool number = strspn(arg, "0123456789") == strlen(arg);
    SendFTPstring(pReq, number ? kFamilyNotServed : kBadArgument);
    return number ? 522 : 501;
  }
  int refused = StartPassive(pReq);
  if (refused) return refused;
  char reply[kCmndBufferSize];
  snprintf(reply, sizeof reply, kExtendedPassive, pReq->xfer.port);
  SendFTPstring(pReq, reply);
  return 229;
}

// Starts a non-blocking connect to the address. The socket, or -1 when
// none could be made (*blockingOff tells that the mode could not be set);
// *pending says whether the connect is still under way.
static int StartConnect(const NetAddress *to, int room, bool *pending,
                        bool *blockingOff) {
  *blockingOff = false;
  *pending = false;
  int sock = socket(to->sa.ss_family, SOCK_STREAM, 0);
  if (sock < 0) return -1;
  if (sock >= room) {
    close(sock);
    return -1;
  }
  if (SetNonBlocking(sock) != 0) {
    close(sock);
    *blockingOff = true;
    return -1;
  }
  if (connect(sock, (const struct sockaddr *)&to->sa, to->length) != 0)
    *pending = errno == EINPROGRESS;
  return sock;
}

// The port of "p1,p2" when it is a usable TCP port, else -1. Each number
// is bounded first so that the product cannot overflow.
static int PortNumber(const char *p1Text, const char *p2Text) {
  int64_t p1 = ParseLong(p1Text), p2 = ParseLong(p2Text);
  const int64_t kBound = 1 << 20;
  if (p1 < -kBound || p1 > kBound || p2 < -kBound || p2 > kBound) return -1;
  int64_t port = p1 * 256 + p2;
  return port >= 1 && port <= 65535 ? (int)port : -1;
}

// The address a PORT or EPRT names is the client's own: the server
// connects to no host but the client. A dotted address is compared as
// text (written another way, with leading zeros, it is not the client's);
// an IPv6 address has many spellings of one host and is compared as an
// address.
// The unspecified address ("0.0.0.0", "::") stands for the client's own,
// as clients behind some NAT boxes and lftp over IPv6 send it.
static bool ClientsOwn(const Request *pReq, const char *address) {
  if (!IsIPv6(&pReq->clientAddress))
    return strcmp(address, pReq->clientAddress.text) == 0 || strcmp(address, "0.0.0.0") == 0;
  NetAddress named;
  if (AddressFromText(address, 0, &named) != 0) return false;
  if (IsIPv6(&named) &&
      IN6_IS_ADDR_UNSPECIFIED(&((const struct sockaddr_in6 *)&named.sa)->sin6_addr))
    return true;
  return SameHost(&named, &pReq->clientAddress);
}

// The checks and the connect of PORT and EPRT alike: the address must be
// the client's own, the port a usable one (-1 when it is not).
static int StartActive(Request *pReq, const char *address, int port) {
  if (!ClientsOwn(pReq, address)) {
    SendFTPstring(pReq, kPortConflict);
    return 501;
  }
  if (port < 0 || PortRefused(pReq->pConfig, port)) {
    SendFTPstring(pReq, kPortBad);
    return 550;
  }
  pReq->xfer.port = port;
  NetAddress to = pReq->clientAddress;
  if (IsIPv6(&to))
    ((struct sockaddr_in6 *)&to.sa)->sin6_port = htons((uint16_t)port);
  else
    ((struct sockaddr_in *)&to.sa)->sin_port = htons((uint16_t)port);
  bool pending = false, blockingOff = false;
  int sock = StartConnect(&to, SocketRoom(pReq->pConfig), &pending, &blockingOff);
  if (sock < 0) {
    SendFTPstring(pReq, blockingOff ? kNoBlockingOff : kNoSocket);
    return 451;
  }
  // The loop finishes the connect when the socket turns writable. A connect
  // that failed at once may never turn writable; such a socket is taken as
  // connected, and the first send or receive on it reports the failure
  // (a 451 at the end of the transfer).
  if (pending) {
    pReq->xfer.listenSocket = sock;
  } else {
    ConnOpen(&pReq->xfer.io, sock);
    if (ProtectNewConnection(pReq) != 0) return 425;
  }
  pReq->xfer.passive = false;
  SendFTPstring(pReq, Mess200);
  return 200;
}

int DoPORT(Request *pReq) {
  char *arg = pReq->cmnd.space->argument;
  if (RefusedOnIPv6(pReq)) return 522;
  if (arg[0] == '\0') {
    SendFTPstring(pReq, kPortMissing);
    return 550;
  }
  if (RefusedAfterEpsvAll(pReq)) return 503;
  DropTransfer(pReq);
  char *commas[5];
  int found = 0;
  for (char *p = arg; *p && found < 5; p++)
    if (*p == ',') commas[found++] = p;
  if (found < 5) {
    SendFTPstring(pReq, kPortBad);
    return 550;
  }
  commas[0][0] = commas[1][0] = commas[2][0] = '.';
  commas[3][0] = commas[4][0] = '\0';
  return StartActive(pReq, arg, PortNumber(commas[3] + 1, commas[4] + 1));
}

// EPRT |1|address|port| on an IPv4 session, |2| on an IPv6 one (any
// delimiter of the client's choice).
int DoEPRT(Request *pReq) {
  char *arg = pReq->cmnd.space->argument;
  if (RefusedAfterEpsvAll(pReq)) return 503;
  DropTransfer(pReq);
  char delimiter = arg[0];
  char *fields[4];
  int found = 0;
  if (delimiter >= 33 && delimiter <= 126)
    for (char *p = arg; *p && found < 4; p++)
      if (*p == delimiter) fields[found++] = p;
  if (found < 4 || fields[3][1] != '\0') {
    SendFTPstring(pReq, kBadArgument);
    return 501;
  }
  for (int i = 0; i < 4; i++) fields[i][0] = '\0';
  if (strcmp(fields[0] + 1, IsIPv6(&pReq->clientAddress) ? "2" : "1") != 0) {
    SendFTPstring(pReq, kFamilyNotServed);
    return 522;
  }
  const char *portText = fields[2] + 1;
  int64_t port = ParseLong(portText);
  bool digits = portText[0] != '\0' && strspn(portText, "0123456789") == strlen(portText);
  return StartActive(pReq, fields[1] + 1, digits && port >= 1 && port <= 65535 ? (int)port : -1);
}
