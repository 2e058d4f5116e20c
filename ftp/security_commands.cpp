#include "security_commands.h"

#include <cstring>
#include <strings.h>

#include "addresses.h"
#include "command_channel.h"
#include "conn_io.h"
#include "tls.h"

const char kTlsRequired[] = "530 TLS required.\n";

namespace {

const char kAuthOk[] = "234 Proceed with TLS negotiation.\n";
const char kAuthUnknown[] = "504 Security mechanism not understood.\n";
const char kAuthAgain[] = "503 TLS already in use.\n";
const char kNeedTls[] = "503 AUTH TLS first.\n";
const char kPbszOk[] = "200 PBSZ=0\n";
const char kNeedPbsz[] = "503 PBSZ first.\n";
const char kProtPrivate[] = "200 Protection level set to Private.\n";
const char kProtClear[] = "200 Protection level set to Clear.\n";
const char kProtUnsupported[] = "536 Only protection levels C and P are supported.\n";
const char kProtUnknown[] = "504 Protection level not understood.\n";
const char kArgumentMissing[] = "501 Argument missing.\n";
const char kClearData[] = "522 Data connections must be encrypted.\n";

int StartTls(Request *pReq, ConnIo *io) {
  SSL_CTX *ctx = pReq->pConfig->tlsContext;
  if (!ctx || io->fd < 0) return -1;
  return ConnStartTls(io, ctx);
}

int Reply(Request *pReq, const char *text, int code) {
  SendFTPstring(pReq, text);
  return code;
}

}  // namespace

int DoAUTH(Request *pReq) {
  if (!pReq->pConfig->tlsContext) return NotImplemented(pReq);
  // TLS is the only mechanism; "AUTH SSL" is refused so that a client
  // that tries it first goes on to ask for TLS.
  if (strcasecmp(pReq->cmnd.space->argument, "TLS") != 0 &&
      strcasecmp(pReq->cmnd.space->argument, "TLS-C") != 0)
    return Reply(pReq, kAuthUnknown, 504);
  if (pReq->cmnd.tls != kTlsOff) return Reply(pReq, kAuthAgain, 503);
  pReq->cmnd.tls = kTlsAfterReply;
  return Reply(pReq, kAuthOk, 234);
}

int AfterReplySent(Request *pReq) {
  if (pReq->cmnd.tls != kTlsAfterReply) return 0;
  pReq->cmnd.tls = kTlsOn;
  // Whatever came in clear text behind AUTH TLS was sent before the
  // handshake by someone who could not have read the reply: it is no
  // command of the protected session (a man in the middle would inject
  // commands this way).
  DropCommandSpace(pReq);
  pReq->cmnd.telnetIac = false;
  pReq->cmnd.discarding = false;
  return StartTls(pReq, &pReq->cmnd.io);
}

int DoPBSZ(Request *pReq) {
  if (!pReq->pConfig->tlsContext) return NotImplemented(pReq);
  if (pReq->cmnd.tls != kTlsOn) return Reply(pReq, kNeedTls, 503);
  if (pReq->cmnd.space->argument[0] == '\0') return Reply(pReq, kArgumentMissing, 501);
  // TLS has its own record sizes: every client's buffer size becomes 0.
  pReq->cmnd.pbszGiven = true;
  return Reply(pReq, kPbszOk, 200);
}

int DoPROT(Request *pReq) {
  if (!pReq->pConfig->tlsContext) return NotImplemented(pReq);
  if (pReq->cmnd.tls != kTlsOn) return Reply(pReq, kNeedTls, 503);
  if (!pReq->cmnd.pbszGiven) return Reply(pReq, kNeedPbsz, 503);
  const char *level = pReq->cmnd.space->argument;
  if (level[0] == '\0') return Reply(pReq, kArgumentMissing, 501);
  if (strcasecmp(level, "P") == 0) {
    pReq->protPrivate = true;
    return Reply(pReq, kProtPrivate, 200);
  }
  if (strcasecmp(level, "C") == 0) {
    pReq->protPrivate = false;
    return Reply(pReq, kProtClear, 200);
  }
  if (strcasecmp(level, "S") == 0 || strcasecmp(level, "E") == 0)
    return Reply(pReq, kProtUnsupported, 536);
  return Reply(pReq, kProtUnknown, 504);
}

int StartImplicitTls(Request *pReq) {
  pReq->cmnd.tls = kTlsOn;
  pReq->cmnd.pbszGiven = true;
  pReq->protPrivate = true;
  return StartTls(pReq, &pReq->cmnd.io);
}

bool TlsRequiredFirst(const Request *pReq) {
  return pReq->pConfig->RequireTLS == '1' && pReq->cmnd.tls != kTlsOn;
}

int ProtectDataConnection(Request *pReq) {
  if (!pReq->protPrivate) return 0;
  if (StartTls(pReq, &pReq->xfer.io) != 0) return -1;
  TlsNoTickets(ConnSsl(&pReq->xfer.io));
  return 0;
}

// A client that keeps several command connections to the server (rclone's
// pool) holds one cache of sessions for all of them, and may resume any
// one's session on a data connection. Those tickets too went only to that
// client: a session of the same account from the same address is as good
// as the session's own.
static bool ResumedFromOwnClient(Request *pReq, SSL *ssl) {
  if (TlsResumedFrom(ssl, ConnSsl(&pReq->cmnd.io))) return true;
  for (Request *r = pReq->pConfig->requests; r; r = r->next)
    if (r != pReq && r->login.permissions[kPASS] == '0' && pReq->login.userName[0] &&
        strcmp(r->login.userName, pReq->login.userName) == 0 &&
        SameHost(&r->clientAddress, &pReq->clientAddress) &&
        TlsResumedFrom(ssl, ConnSsl(&r->cmnd.io)))
      return true;
  return false;
}

int SecureDataConnection(Request *pReq) {
  SSL *ssl = ConnSsl(&pReq->xfer.io);
  if (!ssl || pReq->xfer.secured) return 1;
  ssize_t done = ConnHandshake(&pReq->xfer.io);
  if (done == kConnWait) return 0;
  if (done < 0 || !ResumedFromOwnClient(pReq, ssl)) return -1;
  pReq->xfer.secured = true;
  return 1;
}

bool ClearDataRefused(Request *pReq) {
  if (pReq->pConfig->RequireTLS != '1' || pReq->protPrivate) return false;
  SendFTPstring(pReq, kClearData);
  return true;
}
