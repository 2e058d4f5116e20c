#include "tool_conn.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>

#include "sockets.h"

static const char MsgContextFailed[] = "Creating the TLS context failed.\n";
static const char MsgHandshakeFailed[] = "TLS handshake failed: %s\n";
static const char MsgBadCertificate[] = "TLS handshake failed: certificate: %s (-k accepts any)\n";

static void WaitFor(int fd, short events) {
  struct pollfd p;
  p.fd = fd;
  p.events = events;
  p.revents = 0;
  while (poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
}

SSL_CTX *ToolTlsContext(bool verify) {
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) {
    fputs(MsgContextFailed, stderr);
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // Data connections resume the control connection's session, taken from
  // that connection itself. No client cache: OpenSSL takes a TLS 1.3
  // session out of the cache once it has been resumed, which marks it
  // spent, and the next data connection could resume nothing.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  if (verify) {
    SSL_CTX_set_default_verify_paths(ctx);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  }
  return ctx;
}

int ToolStartTls(ToolConn *c, SSL_CTX *ctx, const char *host, SSL_SESSION *resume) {
  c->ssl = SSL_new(ctx);
  if (!c->ssl) return -1;
  SSL_set_fd(c->ssl, c->fd);
  SSL_set_tlsext_host_name(c->ssl, host);
  if (SSL_CTX_get_verify_mode(ctx) & SSL_VERIFY_PEER) SSL_set1_host(c->ssl, host);
  if (resume) SSL_set_session(c->ssl, resume);
  for (;;) {
    int r = SSL_connect(c->ssl);
    if (r == 1) return 0;
    int e = SSL_get_error(c->ssl, r);
    if (e == SSL_ERROR_WANT_READ) {
      WaitFor(c->fd, POLLIN);
      continue;
    }
    if (e == SSL_ERROR_WANT_WRITE) {
      WaitFor(c->fd, POLLOUT);
      continue;
    }
    long v = SSL_get_verify_result(c->ssl);
    if (v != X509_V_OK)
      printf(MsgBadCertificate, X509_verify_cert_error_string(v));
    else
      printf(MsgHandshakeFailed, e == SSL_ERROR_SSL
                                     ? ERR_reason_error_string(ERR_peek_last_error())
                                     : "the connection ended");
    ERR_clear_error();
    SSL_free(c->ssl);
    c->ssl = nullptr;
    return -1;
  }
}

ssize_t ToolRead(ToolConn *c, void *buf, size_t len) {
  if (!c->ssl) return RecvBytes(c->fd, buf, len);
  for (;;) {
    int r = SSL_read(c->ssl, buf, (int)len);
    if (r > 0) return r;
    int e = SSL_get_error(c->ssl, r);
    if (e == SSL_ERROR_ZERO_RETURN) return 0;
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      errno = EAGAIN;
      return -1;
    }
    // A peer that closes without the alert ends the stream all the same.
    ERR_clear_error();
    if (e == SSL_ERROR_SYSCALL && errno == 0) return 0;
    if (errno == 0) errno = EPROTO;
    return -1;
  }
}

ssize_t ToolWriteAll(ToolConn *c, const void *buf, size_t len) {
  const char *p = static_cast<const char *>(buf);
  size_t sent = 0;
  while (sent < len) {
    ssize_t n;
    if (c->ssl) {
      int r = SSL_write(c->ssl, p + sent, (int)(len - sent));
      if (r > 0) {
        sent += (size_t)r;
        continue;
      }
      int e = SSL_get_error(c->ssl, r);
      if (e == SSL_ERROR_WANT_READ) {
        WaitFor(c->fd, POLLIN);
        continue;
      }
      if (e == SSL_ERROR_WANT_WRITE) {
        WaitFor(c->fd, POLLOUT);
        continue;
      }
      ERR_clear_error();
      return e == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }
    n = SendBytes(c->fd, p + sent, len - sent);
    if (n > 0) {
      sent += (size_t)n;
      continue;
    }
    if (n < 0 && WouldBlock(errno)) {
      WaitFor(c->fd, POLLOUT);
      continue;
    }
    return n == 0 ? 0 : -1;
  }
  return (ssize_t)len;
}

int ToolPending(const ToolConn *c) { return c->ssl ? SSL_pending(c->ssl) : 0; }

void ToolClose(ToolConn *c) {
  if (c->ssl) {
    SSL_shutdown(c->ssl);
    SSL_free(c->ssl);
    c->ssl = nullptr;
  }
  if (c->fd >= 0) CloseConnection(c->fd);
  c->fd = -1;
}
