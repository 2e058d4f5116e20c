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
// True when USER must wait for AUTH TLS (RequireTLS=1).
bool TlsRequiredFirst(const Request *pReq);
// A data connection of a session with PROT P is made TLS. 0, or -1 when
// it could not be (the transfer then fails).
int ProtectDataConnection(Request *pReq);
