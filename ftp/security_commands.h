// Explicit TLS: AUTH TLS turns the command connection to TLS once its 234
// reply has left; PBSZ and PROT choose whether the data connections are
// encrypted too. Only offered when a certificate is configured.
#pragma once
#include "server_records.h"

extern const char kTlsRequired[];

int DoAUTH(Request *pReq);
int DoPBSZ(Request *pReq);
int DoPROT(Request *pReq);
// Called when a reply has gone out whole: the TLS handshake AUTH TLS
// promised starts now, not before, so the 234 itself is in clear text.
// -1 when TLS could not be started: the session must end, as the client
// will not go on in clear text.
int AfterReplySent(Request *pReq);
// A session accepted on the implicit TLS port: TLS from the first byte
// (the handshake runs inside the greeting's write), data protected as
// after PBSZ 0 and PROT P. 0, or -1 when TLS could not be started.
int StartImplicitTls(Request *pReq);
// True when USER must wait for AUTH TLS (RequireTLS=1).
bool TlsRequiredFirst(const Request *pReq);
// A data connection of a session with PROT P is made TLS. 0, or -1 when
// it could not be (the transfer then fails).
int ProtectDataConnection(Request *pReq);
// Before a byte of a transfer moves: after PROT P the data connection's
// handshake is complete and resumed the command connection's own TLS
// session, so a second client at the same address (behind the same NAT,
// on the same host) cannot take the connection in its place. 1 when the
// transfer may go on (a clear one at once), 0 while the handshake waits
// for the socket, -1 when the connection is refused.
int SecureDataConnection(Request *pReq);
// With RequireTLS=1 the data is encrypted too: a transfer after PROT C
// (or none) is refused with 522 (queued). False when it may go on.
bool ClearDataRefused(Request *pReq);
