// TLS for the servers' non-blocking sockets, with OpenSSL. Nothing here
// ever waits: every call that cannot finish says which readiness
// (readable or writable) the loop must wait for before calling it again.
#pragma once
#include <climits>
#include <cstddef>
#include <sys/types.h>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

// Results of the calls below besides a byte count. A call that answered
// kTlsWantRead or kTlsWantWrite must be repeated, with the same bytes for
// a write, once the socket is readable or writable.
enum {
  kTlsFailed = -1,     // the connection is unusable; close it
  kTlsWantRead = -2,   // wait until the socket is readable
  kTlsWantWrite = -3,  // wait until the socket is writable
};

// Room for a reason that names a file: a path up to PATH_MAX and the words.
inline constexpr size_t kTlsErrorSize = PATH_MAX + 256;

// Server context from a PEM certificate chain and its PEM private key.
// `alpnHttp` makes the handshake settle on "http/1.1" when the client
// offers it. Null on failure, with a one-line reason in `error`.
SSL_CTX *TlsServerContext(const char *certificateFile, const char *keyFile,
                          bool alpnHttp, char *error, size_t errorSize);
void TlsFreeContext(SSL_CTX *ctx);

// A server-side TLS connection over the non-blocking socket fd (which
// stays the caller's to close). Null when out of memory.
SSL *TlsNew(SSL_CTX *ctx, int fd);
// No resumption tickets from this connection. An FTP data connection
// takes its session from the command connection's tickets; tickets of its
// own would lie unread when an uploading client closes, and the kernel
// would answer that close with a reset that can cut the upload's end.
void TlsNoTickets(SSL *ssl);
// Frees the connection without a word to the peer.
void TlsFree(SSL *ssl);

// Drives the handshake: 1 when it is complete, else kTlsWantRead,
// kTlsWantWrite or kTlsFailed (a peer that speaks no TLS, a broken
// handshake).
int TlsAccept(SSL *ssl);
// True once the handshake is complete.
bool TlsHandshakeDone(SSL *ssl);
// Bytes read (> 0), 0 when the peer ended the connection, or one of the
// results above.
ssize_t TlsRead(SSL *ssl, void *buf, size_t len);
// Bytes written (> 0, possibly fewer than len) or one of the results above.
ssize_t TlsWrite(SSL *ssl, const void *buf, size_t len);
// Up to len bytes from the current position of file, which moves by what
// went out: by the kernel (kTLS, SSL_sendfile) when it carries the
// encryption, otherwise written as whole 16 KiB records until len is out
// or the socket is full, from a mapping of the file when it is large (1 MiB
// or more), else read in pieces of up to 64 KiB. Bytes sent (> 0,
// possibly fewer than len), 0 when the file has nothing more at its
// position, or one of the results above; after kTlsWantRead or
// kTlsWantWrite the next call must be for the same file, from the
// position it has then, and it may send more than its len: at least what
// the write being repeated offered.
ssize_t TlsSendFile(SSL *ssl, int file, size_t len);
// The file sent by TlsSendFile is done with (the response or transfer
// ended): the connection lets go of what it held to send it, so an idle
// connection keeps no mapping of a file, nor the file alive.
void TlsSendDone(SSL *ssl);
// Bytes already decrypted and waiting inside the connection: the loop must
// not wait for the socket while there are any.
int TlsPending(SSL *ssl);
// Sends the closing alert once, without waiting for the peer's.
void TlsShutdown(SSL *ssl);

// Resumption of FTP data connections: the session the control connection
// negotiated is offered to its data connections, so a client resumes it
// instead of a second full handshake. True when ssl resumed a session.
bool TlsResumed(SSL *ssl);
// True when `data` resumed the very session of `control`: the session a
// data connection brings must be one only the control connection's own
// client holds (its tickets are labelled with that connection when they
// are made), not merely some session of the server's.
bool TlsResumedFrom(SSL *data, SSL *control);
// Protocol version text of an established connection ("TLSv1.3").
const char *TlsVersion(SSL *ssl);
// The protocol chosen by ALPN, or "" when none was.
void TlsAlpn(SSL *ssl, char *out, size_t size);
// True when the kernel encrypts what this connection sends (kTLS).
bool TlsKernelSend(SSL *ssl);
// True when file data over TLS goes by kernel TLS: the kernel takes the
// "tls" layer (asked once, with a loopback connection), the library can use
// it, and ORVALD_TLS_USER_SPACE (set to anything but "0", for tests) does
// not keep the user-space path. A connection whose cipher the kernel cannot
// take stays in user space all the same.
bool TlsKernelOffered();
// The line a server prints at start naming the path file data takes over
// TLS: "TLS sends: kernel TLS (sendfile)" or "TLS sends: user space,
// 16 KiB records".
const char *TlsSendsText();
