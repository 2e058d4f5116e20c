// Reading and writing a client connection. Every byte the servers exchange
// with a peer passes these calls, so the "would block" rules, the bounded
// drain on close and (later) an encrypted layer live in one place.
#pragma once
#include <cstddef>
#include <sys/types.h>

struct iovec;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
// State of an encrypted layer; a connection without one has null here.
struct ConnTls;

struct ConnIo {
  int fd;          // -1 when closed
  ConnTls *tls;
  // After kConnWait (0 after any other result): the readiness (kLoopReadable / kLoopWritable) that
  // lets the call go on. A plain socket wants what it was asked to do; an
  // encrypted one may need to read while writing and the other way round.
  int want;
};

// The call would block: wait for io->want and call again.
constexpr ssize_t kConnWait = -2;

void ConnOpen(ConnIo *io, int fd);
// Bytes read (> 0), 0 when the peer closed, kConnWait, or -1 on error.
ssize_t ConnRead(ConnIo *io, void *buf, size_t len);
// The pieces in order; bytes taken (possibly fewer than offered), kConnWait
// or -1. `more`: more data follows at once, so small pieces may wait for it
// and leave together; the last piece of a burst goes without it.
ssize_t ConnWrite(ConnIo *io, const struct iovec *parts, int count,
                  bool more = false);
// Up to len bytes from the current position of `file`, which moves by what
// the peer's socket took. Bytes sent, 0 when the file has ended, kConnWait
// or -1.
ssize_t ConnSendFile(ConnIo *io, int file, size_t len);
// The file sent by ConnSendFile is done with: nothing held to send it
// stays with the connection while it waits for what comes next.
void ConnFileDone(ConnIo *io);
// Reads and drops what the peer sent and nobody will read (a bounded
// amount, never waiting), so the close ends the stream with a FIN and does
// not reset what the peer has yet to read; closes; fd becomes -1. 0, or -1
// when the close failed. A closed io is accepted.
int ConnClose(ConnIo *io);

// Puts TLS on the connection, this side being the server. The handshake
// runs inside the reads and writes that follow (each may then ask to wait
// for the other readiness), so the handlers stay as they are for plain
// connections. 0, or -1 when out of memory (the connection stays plain).
int ConnStartTls(ConnIo *io, SSL_CTX *ctx);
// Drives the TLS handshake to its end before any data: 1 when it is
// complete (or the connection is plain), kConnWait, or -1 when it failed.
ssize_t ConnHandshake(ConnIo *io);
// The TLS connection, or null for a plain one.
SSL *ConnSsl(const ConnIo *io);
// Bytes already decrypted and not read yet. They sit in memory, not in
// the socket, so the socket does not turn readable for them: a handler
// that stops reading with some left must read them before it waits again.
int ConnPending(const ConnIo *io);
