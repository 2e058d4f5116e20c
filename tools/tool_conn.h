// A test client's connection to a server, plain or (once TLS is started
// on it) encrypted: the FTP client's control and data connections and the
// HTTP probe's one request all go through these calls, so the OpenSSL
// client code is written once.
#pragma once
#include <cstddef>
#include <sys/types.h>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct ssl_session_st SSL_SESSION;

struct ToolConn {
  int fd = -1;
  SSL *ssl = nullptr;
};

// Client context; `verify` checks the server's certificate against the
// system's trusted roots and the host name given to ToolStartTls. Null
// after printing the reason on standard error.
SSL_CTX *ToolTlsContext(bool verify);
// Runs the TLS handshake on c (blocking or not), naming `host` to the
// server and, when verifying, checking the certificate against it.
// `resume` (may be null) is a session to resume: an FTP data connection
// offers its control connection's. 0, or -1 after printing the reason on
// standard output.
int ToolStartTls(ToolConn *c, SSL_CTX *ctx, const char *host, SSL_SESSION *resume);
// Bytes read (> 0), 0 at the peer's end, -1 with errno set (EAGAIN when a
// non-blocking connection has nothing yet).
ssize_t ToolRead(ToolConn *c, void *buf, size_t len);
// Sends all len bytes, waiting as needed: len, 0 when the peer has gone,
// -1 on another error.
ssize_t ToolWriteAll(ToolConn *c, const void *buf, size_t len);
// Bytes decrypted and waiting: the socket does not turn readable for them.
int ToolPending(const ToolConn *c);
// Sends the TLS closing alert (when encrypted) and closes; fd becomes -1.
void ToolClose(ToolConn *c);
