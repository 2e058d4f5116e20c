#include "tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#ifndef TCP_ULP
#define TCP_ULP 31
#endif

namespace {

// Both servers' sessions share one cache; the context only has to be the
// same between the connections that resume each other.
const unsigned char kSessionContext[] = "suite";
// Sessions kept for resumption: a control connection and its data
// connections need one each at a time, so this bounds memory, not use.
const long kSessionCacheSize = 1024;
const unsigned char kAlpnHttp[] = "\x08http/1.1";

const char kKernelSends[] = "TLS sends: kernel TLS (sendfile)";
const char kUserSpaceSends[] = "TLS sends: user space, 16 KiB records";
// Set (to anything but "0") in a server's environment, it keeps file data
// on the user-space path even where the kernel could encrypt it, so tests
// cover both paths on one machine.
const char kUserSpaceVariable[] = "ORVALD_TLS_USER_SPACE";

// 1 when the kernel can encrypt what connections send, 0 when not, -1
// until it has been asked.
int kernelOffered = -1;

// File data goes through this when the kernel does not encrypt: one
// thread, so one window serves every connection. 64 KiB is four full
// records, and each SSL_write of it fills whole records; the library
// releases its record buffer only after the last one (with
// SSL_MODE_RELEASE_BUFFERS it would otherwise go and come back per record).
unsigned char window[64 * 1024];

// What the window holds: bytes [at, at + length) of `file`, read for
// `ssl`. It is kept past a call only when that call's last write has to be
// repeated, so the repeat (and the records behind it) go out of the same
// bytes without reading them again; any other connection that reads into
// the window, and the end of the connection, make it stale.
struct WindowOwner {
  const SSL *ssl;
  int file;
  off_t at;
  size_t length;
};
WindowOwner held = {nullptr, -1, 0, 0};

// Large files are not read at all: the record layer takes their bytes
// straight from the page cache through a mapping, which spares the copy a
// read makes into the window (a tenth of the CPU of a bulk send). A
// connection keeps one mapped stretch of its file across calls, so the
// mapping and its page tables are paid once per 2 MiB; smaller files, and
// a file that cannot be mapped, go through the window.
const size_t kMapStretch = 2 * 1024 * 1024;
const off_t kMapFrom = 1024 * 1024;

struct FileMap {
  unsigned char *base;  // null when nothing is mapped
  size_t length;
  off_t at;             // file offset of base
  dev_t device;
  ino_t inode;
};

// A file that shrinks while mapped turns reads past its new end into
// SIGBUS. Only while the record layer reads a mapping does the handler
// take that signal as ours: it puts zero pages where the file's pages
// were, so the read finishes, and marks the send failed. Any other SIGBUS
// goes to whatever handled it before.
unsigned char *volatile readingFrom = nullptr;
volatile size_t readingLength = 0;
volatile sig_atomic_t fileShrank = 0;
long pageSize = 4096;  // the system's, read before the handler is set
struct sigaction previousBusAction;
bool busHandlerSet = false;

void OnBusError(int signal, siginfo_t *info, void *context) {
  unsigned char *at = (unsigned char *)info->si_addr;
  unsigned char *from = readingFrom;
  size_t length = readingLength;
  if (from && at >= from && at < from + length) {
    uintptr_t page = (uintptr_t)at & ~(uintptr_t)(pageSize - 1);
    unsigned char *start = (unsigned char *)page;
    mmap(start, (size_t)(from + length - start), PROT_READ,
         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    fileShrank = 1;
    return;
  }
  // Not ours: the fault repeats under the handler that was there before.
  sigaction(SIGBUS, &previousBusAction, nullptr);
  (void)signal;
  (void)context;
}

bool SetBusHandler() {
  if (busHandlerSet) return true;
  pageSize = sysconf(_SC_PAGESIZE);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = OnBusError;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  busHandlerSet = sigaction(SIGBUS, &action, &previousBusAction) == 0;
  return busHandlerSet;
}

// Each connection's mapping, made when it sends a large file and let go
// when that send is done with.
int mapIndex = -1;

FileMap *MapOf(SSL *ssl) { return (FileMap *)SSL_get_ex_data(ssl, mapIndex); }

void Unmap(FileMap *map) {
  if (map && map->base) munmap(map->base, map->length);
  if (map) map->base = nullptr;
}

// A write that answered "want" must be repeated with at least as many
// bytes as were already encrypted for it; the length tried is kept with
// the connection so a file piece is repeated whole.
int retryIndex = -1;

int AlpnSelect(SSL *, const unsigned char **out, unsigned char *outLength,
               const unsigned char *offered, unsigned int offeredLength,
               void *) {
  unsigned char *chosen = nullptr;
  if (SSL_select_next_proto(&chosen, outLength, kAlpnHttp, sizeof kAlpnHttp - 1,
                            offered, offeredLength) != OPENSSL_NPN_NEGOTIATED)
    // A client that offers only other protocols is still served, without
    // ALPN: it learns at once from the answer what it talks to.
    return SSL_TLSEXT_ERR_NOACK;
  *out = chosen;
  return SSL_TLSEXT_ERR_OK;
}

// Every ticket carries the client random of the connection it was issued
// on: a connection that resumes from it can be told apart from one that
// resumes a ticket of some other connection. The label is fresh for each
// connection, resumed ones included, and takes no memory of the server's.
int LabelTicket(SSL *ssl, void *) {
  unsigned char random[SSL3_RANDOM_SIZE];
  size_t n = SSL_get_client_random(ssl, random, sizeof random);
  SSL_SESSION *session = SSL_get0_session(ssl);
  if (session && n > 0) SSL_SESSION_set1_ticket_appdata(session, random, n);
  return 1;
}

// The library's own reason ("system lib", "PEM lib") tells an operator
// nothing: a file that cannot be read is said with the system's reason,
// one that reads but is no PEM of the kind with `notKind`.
void ErrorText(const char *what, const char *file, char *error, size_t size,
               const char *notKind = nullptr) {
  unsigned long code = ERR_peek_last_error();
  char reason[160] = "unknown reason";
  if (code != 0) ERR_error_string_n(code, reason, sizeof reason);
  FILE *f = notKind ? fopen(file, "r") : nullptr;
  if (code != 0 && ERR_GET_REASON(code) == X509_R_KEY_VALUES_MISMATCH)
    snprintf(reason, sizeof reason, "key does not match the certificate");
  else if (notKind && !f)
    snprintf(reason, sizeof reason, "%s", strerror(errno));
  else if (notKind)
    snprintf(reason, sizeof reason, "%s", notKind);
  if (f) fclose(f);
  snprintf(error, size, "%s %s: %s", what, file, reason);
  ERR_clear_error();
}

// Maps a failed call to what the loop has to do next.
int Want(SSL *ssl, int result) {
  int code = SSL_get_error(ssl, result);
  if (code == SSL_ERROR_WANT_READ) return kTlsWantRead;
  if (code == SSL_ERROR_WANT_WRITE) return kTlsWantWrite;
  // After a fatal error no closing alert may be sent.
  SSL_set_quiet_shutdown(ssl, 1);
  ERR_clear_error();
  return kTlsFailed;
}

size_t RetryLength(SSL *ssl) {
  return (size_t)(uintptr_t)SSL_get_ex_data(ssl, retryIndex);
}

void SetRetryLength(SSL *ssl, size_t n) {
  SSL_set_ex_data(ssl, retryIndex, (void *)(uintptr_t)n);
}

// Whether the kernel takes the "tls" upper layer on an established TCP
// socket: a loopback connection made and dropped at once. Its connect is
// given a second at most, so a loopback that drops what it is sent cannot
// hold the start.
bool KernelTlsWorks() {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  bool works = false;
  struct sockaddr_in at;
  memset(&at, 0, sizeof at);
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof at;
  if (listener >= 0 && client >= 0 && bind(listener, (struct sockaddr *)&at, sizeof at) == 0 &&
      listen(listener, 1) == 0 &&
      getsockname(listener, (struct sockaddr *)&at, &length) == 0) {
    struct pollfd ready = {client, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    if ((connect(client, (struct sockaddr *)&at, sizeof at) == 0 || errno == EINPROGRESS) &&
        poll(&ready, 1, 1000) == 1 &&
        getsockopt(client, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0)
      works = setsockopt(client, IPPROTO_TCP, TCP_ULP, "tls", 3) == 0;
  }
  if (client >= 0) close(client);
  if (listener >= 0) close(listener);
  return works;
}

bool Offered() {
  if (kernelOffered < 0) {
    const char *forced = getenv(kUserSpaceVariable);
    bool userSpace = forced && *forced && strcmp(forced, "0") != 0;
#if defined(SSL_OP_ENABLE_KTLS) && !defined(OPENSSL_NO_KTLS)
    kernelOffered = !userSpace && KernelTlsWorks() ? 1 : 0;
#else
    (void)userSpace;
    kernelOffered = 0;
#endif
  }
  return kernelOffered == 1;
}

// A file piece SSL_write did not take: what went out before it stands,
// and the piece is kept to be offered again, whole, by the next call.
ssize_t AfterRefusedWrite(SSL *ssl, int file, off_t position, size_t offer, size_t sent) {
  int code = Want(ssl, 0);
  if (code == kTlsFailed) return kTlsFailed;
  SetRetryLength(ssl, offer);
  if (sent > 0) lseek(file, position, SEEK_SET);
  return sent > 0 ? (ssize_t)sent : code;
}

// File bytes through the window into whole records, from `at` on: each
// write takes one record (partial writes), and the loop goes on until len
// bytes are out or the socket is full.
ssize_t SendThroughWindow(SSL *ssl, int file, off_t at, size_t len) {
  size_t sent = 0;
  size_t retry = RetryLength(ssl);
  while (sent < len || retry > 0) {
    off_t position = at + (off_t)sent;
    // A repeat offers at least what the write that failed offered.
    size_t want = len - sent > retry ? len - sent : retry;
    bool fresh = held.ssl == ssl && held.file == file && held.at <= position &&
                 position < held.at + (off_t)held.length &&
                 (size_t)(held.at + (off_t)held.length - position) >= retry;
    if (!fresh) {
      size_t piece = want < sizeof window ? want : sizeof window;
      ssize_t got;
      do {
        got = pread(file, window, piece, position);
      } while (got < 0 && errno == EINTR);
      held = {nullptr, -1, 0, 0};
      if (got < 0 && sent == 0) return kTlsFailed;
      // What went out stands; a read error shows again on the next call.
      if (got <= 0) break;
      held = {ssl, file, position, (size_t)got};
    }
    size_t offset = (size_t)(position - held.at);
    size_t offer = held.length - offset;
    if (offer > want) offer = want;
    size_t done = 0;
    ERR_clear_error();
    if (SSL_write_ex(ssl, window + offset, offer, &done) != 1) {
      ssize_t result = AfterRefusedWrite(ssl, file, position, offer, sent);
      if (result == kTlsFailed) held = {nullptr, -1, 0, 0};
      return result;
    }
    retry = 0;
    SetRetryLength(ssl, 0);
    sent += done;
  }
  // Nothing of this call waits to be repeated: the window is nobody's.
  if (held.ssl == ssl) held = {nullptr, -1, 0, 0};
  if (sent > 0) lseek(file, at + (off_t)sent, SEEK_SET);
  return (ssize_t)sent;
}

// A large file leaves in full segments, not one per record: the records
// written while the socket is corked go out as the segments fill, and the
// rest when the file is done. The peer is woken a quarter as often.
void Cork(SSL *ssl, int on) {
  int fd = SSL_get_fd(ssl);
  if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
}

// The stretch of `file` around `position` mapped for `ssl`, or null when
// the file is too small to be worth it or cannot be mapped. `st` is what
// the file is now: a mapping of another file (a descriptor number used
// again) is never taken for this one.
FileMap *MapAround(SSL *ssl, int file, off_t position, const struct stat &st) {
  if (st.st_size < kMapFrom || !S_ISREG(st.st_mode) || position >= st.st_size) return nullptr;
  FileMap *map = MapOf(ssl);
  if (map && map->base && map->device == st.st_dev && map->inode == st.st_ino &&
      map->at <= position && position < map->at + (off_t)map->length)
    return map;
  if (!map) {
    if (!SetBusHandler()) return nullptr;
    map = (FileMap *)calloc(1, sizeof(FileMap));
    if (!map) return nullptr;
    if (SSL_set_ex_data(ssl, mapIndex, map) != 1) {
      free(map);
      return nullptr;
    }
    Cork(ssl, 1);
  }
  Unmap(map);
  // Stretches start at multiples of their length: a send that ends in the
  // middle of one finds it mapped when it goes on.
  off_t at = position - position % (off_t)kMapStretch;
  size_t length = (size_t)(st.st_size - at) < kMapStretch ? (size_t)(st.st_size - at) : kMapStretch;
  void *base = mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, file, at);
  if (base == MAP_FAILED) return nullptr;
  *map = {(unsigned char *)base, length, at, st.st_dev, st.st_ino};
  return map;
}

// File bytes from the mapping into whole records, as SendThroughWindow
// does from the window. kTlsFailed also when the file shrank under the
// send: what went out in its last write is not the file's.
ssize_t SendFromMap(SSL *ssl, int file, off_t at, size_t len, const struct stat &st) {
  size_t sent = 0;
  size_t retry = RetryLength(ssl);
  while (sent < len || retry > 0) {
    off_t position = at + (off_t)sent;
    FileMap *map = MapAround(ssl, file, position, st);
    if (!map) break;
    size_t want = len - sent > retry ? len - sent : retry;
    size_t offset = (size_t)(position - map->at);
    // Never past the end the file had at the call: bytes beyond it are
    // not the file's, and reading them would fault.
    size_t offer = map->length - offset;
    if ((off_t)offer > st.st_size - position) offer = (size_t)(st.st_size - position);
    if (offer > want) offer = want;
    size_t done = 0;
    ERR_clear_error();
    readingLength = map->length;
    readingFrom = map->base;
    int wrote = SSL_write_ex(ssl, map->base + offset, offer, &done);
    readingFrom = nullptr;
    if (fileShrank) {
      fileShrank = 0;
      Unmap(map);
      SSL_set_quiet_shutdown(ssl, 1);
      return kTlsFailed;
    }
    if (wrote != 1) return AfterRefusedWrite(ssl, file, position, offer, sent);
    retry = 0;
    SetRetryLength(ssl, 0);
    sent += done;
  }
  if (sent > 0) lseek(file, at + (off_t)sent, SEEK_SET);
  return (ssize_t)sent;
}

// The user-space path: mapped when the file is large, else the window.
ssize_t SendInUserSpace(SSL *ssl, int file, off_t at, size_t len) {
  struct stat st;
  if (fstat(file, &st) == 0 && st.st_size >= kMapFrom && at < st.st_size &&
      (MapAround(ssl, file, at, st) != nullptr))
    return SendFromMap(ssl, file, at, len, st);
  return SendThroughWindow(ssl, file, at, len);
}

void FreeMap(void *, void *map, CRYPTO_EX_DATA *, int, long, void *) {
  Unmap((FileMap *)map);
  free(map);
}

}  // namespace

SSL_CTX *TlsServerContext(const char *certificateFile, const char *keyFile,
                          bool alpnHttp, char *error, size_t errorSize) {
  if (retryIndex < 0) retryIndex = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  if (mapIndex < 0) mapIndex = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeMap);
  SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx) {
    ErrorText("Cannot set up TLS for", certificateFile, error, errorSize);
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  uint64_t options = SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                     SSL_OP_NO_COMPRESSION;
  // A peer that drops the connection without the closing alert ends it
  // like a plain TCP peer does: an upload ends at the close, as it does
  // without TLS.
#ifdef SSL_OP_IGNORE_UNEXPECTED_EOF
  options |= SSL_OP_IGNORE_UNEXPECTED_EOF;
#endif
#ifdef SSL_OP_ENABLE_KTLS
  // Only where the kernel takes it: elsewhere the library would try it,
  // and fail, on every connection.
  if (Offered()) options |= SSL_OP_ENABLE_KTLS;
#endif
  SSL_CTX_set_options(ctx, options);
  // Partial writes keep a large piece from holding the loop; the moving
  // buffer lets a repeated write come from wherever the bytes now lie.
  // Released buffers: a connection waiting idle between requests or
  // commands holds no record buffers (some 34 KiB each).
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE |
                            SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
  SSL_CTX_sess_set_cache_size(ctx, kSessionCacheSize);
  SSL_CTX_set_session_id_context(ctx, kSessionContext, sizeof kSessionContext - 1);
  SSL_CTX_set_session_ticket_cb(ctx, LabelTicket, nullptr, nullptr);
  if (SSL_CTX_use_certificate_chain_file(ctx, certificateFile) != 1) {
    ErrorText("Cannot load the certificate", certificateFile, error, errorSize,
              "not a PEM certificate");
    SSL_CTX_free(ctx);
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, keyFile, SSL_FILETYPE_PEM) != 1) {
    ErrorText("Cannot load the key", keyFile, error, errorSize, "not a PEM private key");
    SSL_CTX_free(ctx);
    return nullptr;
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    ErrorText("The certificate does not match the key", keyFile, error, errorSize,
              "key does not match the certificate");
    SSL_CTX_free(ctx);
    return nullptr;
  }
  if (alpnHttp) SSL_CTX_set_alpn_select_cb(ctx, AlpnSelect, nullptr);
  return ctx;
}

void TlsFreeContext(SSL_CTX *ctx) { SSL_CTX_free(ctx); }

SSL *TlsNew(SSL_CTX *ctx, int fd) {
  SSL *ssl = SSL_new(ctx);
  if (!ssl) {
    ERR_clear_error();
    return nullptr;
  }
  if (SSL_set_fd(ssl, fd) != 1) {
    ERR_clear_error();
    SSL_free(ssl);
    return nullptr;
  }
  SSL_set_accept_state(ssl);
  return ssl;
}

void TlsFree(SSL *ssl) {
  if (held.ssl == ssl) held = {nullptr, -1, 0, 0};
  SSL_free(ssl);
}

void TlsSendDone(SSL *ssl) {
  FileMap *map = MapOf(ssl);
  if (!map) return;
  // The record goes too: an idle connection keeps nothing of the send.
  SSL_set_ex_data(ssl, mapIndex, nullptr);
  Cork(ssl, 0);
  Unmap(map);
  free(map);
}

void TlsNoTickets(SSL *ssl) { SSL_set_num_tickets(ssl, 0); }

bool TlsHandshakeDone(SSL *ssl) { return SSL_is_init_finished(ssl) == 1; }

int TlsAccept(SSL *ssl) {
  ERR_clear_error();
  int result = SSL_do_handshake(ssl);
  return result == 1 ? 1 : Want(ssl, result);
}

ssize_t TlsRead(SSL *ssl, void *buf, size_t len) {
  ERR_clear_error();
  size_t got = 0;
  if (SSL_read_ex(ssl, buf, len, &got) == 1) return (ssize_t)got;
  int code = SSL_get_error(ssl, 0);
  if (code == SSL_ERROR_ZERO_RETURN) return 0;
  if (code == SSL_ERROR_SYSCALL && errno == 0) {
    // End of the stream without the closing alert.
    SSL_set_quiet_shutdown(ssl, 1);
    return 0;
  }
  return Want(ssl, 0);
}

ssize_t TlsWrite(SSL *ssl, const void *buf, size_t len) {
  if (len == 0) return 0;
  ERR_clear_error();
  size_t done = 0;
  if (SSL_write_ex(ssl, buf, len, &done) == 1) return (ssize_t)done;
  return Want(ssl, 0);
}

ssize_t TlsSendFile(SSL *ssl, int file, size_t len) {
  off_t at = lseek(file, 0, SEEK_CUR);
  if (at < 0) return kTlsFailed;
  if (TlsKernelSend(ssl)) {
    ERR_clear_error();
    ossl_ssize_t n = SSL_sendfile(ssl, file, at, len, 0);
    if (n > 0) {
      lseek(file, at + n, SEEK_SET);
      return n;
    }
    if (n == 0) return 0;
    // A file sendfile refuses (one of /proc, say) goes through memory, as
    // it does without TLS; the kernel still encrypts it.
    if ((errno == EINVAL || errno == ENOSYS) && !BIO_should_retry(SSL_get_wbio(ssl))) {
      ERR_clear_error();
      return SendThroughWindow(ssl, file, at, len);
    }
    return Want(ssl, (int)n);
  }
  return SendInUserSpace(ssl, file, at, len);
}

int TlsPending(SSL *ssl) { return SSL_pending(ssl); }

void TlsShutdown(SSL *ssl) {
  // Nothing may be said on a connection whose handshake never finished.
  if (!SSL_is_init_finished(ssl)) return;
  ERR_clear_error();
  SSL_shutdown(ssl);
  ERR_clear_error();
}

bool TlsResumed(SSL *ssl) { return SSL_session_reused(ssl) == 1; }

bool TlsResumedFrom(SSL *data, SSL *control) {
  if (!data || !control || SSL_session_reused(data) != 1) return false;
  SSL_SESSION *own = SSL_get0_session(data);
  // Resumed by its id from the server's cache: the cached session is the
  // control connection's own record.
  if (own && own == SSL_get0_session(control)) return true;
  void *label = nullptr;
  size_t length = 0;
  unsigned char random[SSL3_RANDOM_SIZE];
  size_t n = SSL_get_client_random(control, random, sizeof random);
  return own && SSL_SESSION_get0_ticket_appdata(own, &label, &length) == 1 &&
         length == n && n > 0 && memcmp(label, random, n) == 0;
}

const char *TlsVersion(SSL *ssl) { return SSL_get_version(ssl); }

void TlsAlpn(SSL *ssl, char *out, size_t size) {
  const unsigned char *name = nullptr;
  unsigned int length = 0;
  SSL_get0_alpn_selected(ssl, &name, &length);
  snprintf(out, size, "%.*s", (int)length, name ? (const char *)name : "");
}

bool TlsKernelOffered() { return Offered(); }

const char *TlsSendsText() { return Offered() ? kKernelSends : kUserSpaceSends; }

bool TlsKernelSend(SSL *ssl) {
#ifdef SSL_OP_ENABLE_KTLS
  return BIO_get_ktls_send(SSL_get_wbio(ssl)) == 1;
#else
  (void)ssl;
  return false;
#endif
}
