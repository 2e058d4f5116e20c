// The TLS wrappers against an in-process OpenSSL client over a socket
// pair, both ends non-blocking: nothing may ever wait inside a call.
#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "conn_io.h"
#include "event_loop.h"
#include "harness.h"
#include "sockets.h"
#include "tls.h"

namespace {

harness::TempDir *keys = nullptr;

std::string Cert() { return *keys / "cert.pem"; }
std::string Key() { return *keys / "key.pem"; }

class Tls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    keys = new harness::TempDir;
    std::string out;
    int rc = harness::Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
                          "-nodes -days 2 -subj /CN=localhost -keyout '" + Key() +
                              "' -out '" + Cert() + "'",
                          &out, 30);
    ASSERT_EQ(rc, 0) << out;
  }
  static void TearDownTestSuite() {
    delete keys;
    keys = nullptr;
  }

  void SetUp() override {
    char error[256] = "";
    server = TlsServerContext(Cert().c_str(), Key().c_str(), true, error, sizeof error);
    ASSERT_NE(server, nullptr) << error;
    client = SSL_CTX_new(TLS_client_method());
    ASSERT_NE(client, nullptr);
    SSL_CTX_set_session_cache_mode(client, SSL_SESS_CACHE_CLIENT);
  }
  void TearDown() override {
    TlsFreeContext(server);
    SSL_CTX_free(client);
  }

  // A fresh pair of connected non-blocking sockets, the server's end with
  // its TLS record and the client's with one of the client context.
  void Pair(SSL **s, SSL **c, SSL_SESSION *resume = nullptr,
            const char *alpn = nullptr, unsigned alpnLength = 0) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    SetNonBlocking(fds[0]);
    SetNonBlocking(fds[1]);
    serverFd = fds[0];
    clientFd = fds[1];
    *s = TlsNew(server, serverFd);
    ASSERT_NE(*s, nullptr);
    *c = SSL_new(client);
    SSL_set_fd(*c, clientFd);
    SSL_set_connect_state(*c);
    if (resume) SSL_set_session(*c, resume);
    if (alpn) SSL_set_alpn_protos(*c, (const unsigned char *)alpn, alpnLength);
  }
  void ClosePair(SSL *s, SSL *c) {
    TlsFree(s);
    SSL_free(c);
    close(serverFd);
    close(clientFd);
  }

  // Drives both handshakes to their end, waiting only in poll() for what
  // each side asked for. False when either side failed or time ran out.
  bool Handshake(SSL *s, SSL *c, double seconds = 5) {
    auto end = std::chrono::steady_clock::now() +
               std::chrono::milliseconds((int)(seconds * 1000));
    int serverDone = 0, clientDone = 0;
    while (std::chrono::steady_clock::now() < end) {
      if (serverDone != 1) {
        serverDone = TlsAccept(s);
        if (serverDone == kTlsFailed) return false;
      }
      if (clientDone != 1) {
        int r = SSL_do_handshake(c);
        if (r == 1) {
          clientDone = 1;
        } else {
          int e = SSL_get_error(c, r);
          if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return false;
        }
      }
      if (serverDone == 1 && clientDone == 1) return true;
      struct pollfd p[2] = {{serverFd, POLLIN, 0}, {clientFd, POLLIN, 0}};
      poll(p, 2, 20);
    }
    return false;
  }

  SSL_CTX *server = nullptr;
  SSL_CTX *client = nullptr;
  int serverFd = -1, clientFd = -1;
};

TEST_F(Tls, HandshakeChoosesHttpAndCarriesBytesBothWays) {
  SSL *s, *c;
  // Offered as a browser does: the server settles on the one it speaks.
  Pair(&s, &c, nullptr, "\x02h2\x08http/1.1", 12);
  ASSERT_TRUE(Handshake(s, c));
  char alpn[32];
  TlsAlpn(s, alpn, sizeof alpn);
  EXPECT_STREQ(alpn, "http/1.1");
  EXPECT_FALSE(TlsResumed(s));

  char buf[64];
  EXPECT_EQ(TlsRead(s, buf, sizeof buf), kTlsWantRead);  // nothing sent yet
  ASSERT_EQ(SSL_write(c, "GET / HTTP/1.0\r\n\r\n", 18), 18);
  ssize_t n = 0;
  ASSERT_TRUE(harness::WaitFor([&] { return (n = TlsRead(s, buf, sizeof buf)) > 0; }, 5));
  EXPECT_EQ(std::string(buf, (size_t)n), "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(TlsWrite(s, "HTTP/1.0 200 OK\r\n", 17), 17);
  ASSERT_TRUE(harness::WaitFor([&] { return (n = SSL_read(c, buf, sizeof buf)) > 0; }, 5));
  EXPECT_EQ(std::string(buf, (size_t)n), "HTTP/1.0 200 OK\r\n");

  // The closing alert reaches the client as an orderly end.
  TlsShutdown(s);
  int r = 0;
  ASSERT_TRUE(harness::WaitFor([&] {
    r = SSL_read(c, buf, sizeof buf);
    return r > 0 || SSL_get_error(c, r) != SSL_ERROR_WANT_READ;
  }, 5));
  EXPECT_EQ(SSL_get_error(c, r), SSL_ERROR_ZERO_RETURN);
  ClosePair(s, c);
}

// File sizes that take the window and the mapping (across a stretch's end).
class TlsFile : public Tls, public ::testing::WithParamInterface<size_t> {};

TEST_P(TlsFile, LeavesWholeThroughAFullSocketAndItsPositionFollows) {
  harness::TempDir dir;
  // Larger than the socket buffers and not a multiple of any piece size,
  // every byte different from its neighbours so a repeated or lost piece
  // shows.
  std::string content;
  for (size_t i = 0; i < GetParam(); i++) content += (char)(i * 131 % 251);
  harness::WriteFile(dir / "f", content);
  int file = open((dir / "f").c_str(), O_RDONLY);
  ASSERT_GE(file, 0);
  ASSERT_EQ(lseek(file, 1000, SEEK_SET), 1000);

  int small = 16384;
  // Another connection sends another file from the same position between
  // the calls: a repeated write must not go out of the other's bytes.
  harness::WriteFile(dir / "other", std::string(content.size(), 'x'));
  int other = open((dir / "other").c_str(), O_RDONLY);
  SSL *s2, *c2;
  Pair(&s2, &c2);
  ASSERT_TRUE(Handshake(s2, c2));
  int otherFds[2] = {serverFd, clientFd};
  setsockopt(serverFd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

  SSL *s, *c;
  Pair(&s, &c);
  ASSERT_TRUE(Handshake(s, c));
  setsockopt(serverFd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(clientFd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  std::string got;
  size_t left = content.size() - 1000 - 1;  // the last byte stays unsent
  int wants = 0;
  ssize_t otherSent = 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (got.size() < content.size() - 1001 &&
         std::chrono::steady_clock::now() < end) {
    if (left > 0) {
      // Odd amounts: a repeat may be offered fewer bytes than before.
      size_t ask = 1000 + got.size() * 7919 % 90000;
      ssize_t n = TlsSendFile(s, file, ask < left ? ask : left);
      ASSERT_NE(n, kTlsFailed);
      ASSERT_NE(n, 0);
      if (n > 0) {
        ASSERT_LE((size_t)n, left);
        left -= (size_t)n;
      } else {
        wants++;
      }
    }
    // The client reads only now and then, so the server's socket fills
    // and its writes have to be repeated.
    char buf[4096];
    for (int i = 0; i < 3; i++) {
      int r = SSL_read(c, buf, sizeof buf);
      if (r > 0) got.append(buf, (size_t)r);
    }
    // A write of its own that waits is repeated from where it was.
    if (otherSent != kTlsWantWrite) lseek(other, lseek(file, 0, SEEK_CUR), SEEK_SET);
    otherSent = TlsSendFile(s2, other, 70000);
    ASSERT_NE(otherSent, kTlsFailed);
    SSL_read(c2, buf, sizeof buf);
  }
  EXPECT_GT(wants, 0) << "the socket never filled: the retry path was not tried";
  EXPECT_EQ(left, 0u);
  ASSERT_EQ(got.size(), content.size() - 1001);
  EXPECT_TRUE(got == content.substr(1000, content.size() - 1001));
  EXPECT_EQ(lseek(file, 0, SEEK_CUR), (off_t)content.size() - 1);
  // At the end of the file there is nothing more to send.
  lseek(file, 0, SEEK_END);
  EXPECT_EQ(TlsSendFile(s, file, 100), 0);
  close(file);
  close(other);
  ClosePair(s, c);
  serverFd = otherFds[0];
  clientFd = otherFds[1];
  ClosePair(s2, c2);
}

INSTANTIATE_TEST_SUITE_P(WindowAndMapping, TlsFile,
                         ::testing::Values(700001, 2 * 1024 * 1024 + 300001));

// Stands for the socket and cuts the file short as the first record
// leaves, so the next record's bytes lie past the file's new end.
int ShrinkingWrite(BIO *bio, const char *, int length) {
  int *file = (int *)BIO_get_data(bio);
  if (*file >= 0 && ftruncate(*file, 4096) == 0) *file = -1;
  return length;
}

TEST_F(Tls, FileThatShrinksUnderTheSendFailsItAndNothingElse) {
  harness::TempDir dir;
  harness::WriteFile(dir / "f", std::string(3 * 1024 * 1024, 'a'));
  int file = open((dir / "f").c_str(), O_RDWR);
  ASSERT_GE(file, 0);
  SSL *s, *c;
  Pair(&s, &c);
  ASSERT_TRUE(Handshake(s, c));
  BIO_METHOD *method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "shrinking");
  BIO_meth_set_write(method, ShrinkingWrite);
  BIO_meth_set_ctrl(method, [](BIO *, int, long, void *) -> long { return 0; });
  BIO *bio = BIO_new(method);
  int shrinking = file;
  BIO_set_data(bio, &shrinking);
  BIO_set_init(bio, 1);
  SSL_set0_wbio(s, bio);
  EXPECT_EQ(TlsSendFile(s, file, 1024 * 1024), kTlsFailed);
  EXPECT_EQ(shrinking, -1);
  close(file);
  ClosePair(s, c);
  BIO_meth_free(method);
}

TEST_F(Tls, SecondConnectionResumesTheFirstOnesSession) {
  SSL *s, *c;
  Pair(&s, &c);
  ASSERT_TRUE(Handshake(s, c));
  // TLS 1.3 tickets arrive after the handshake: the client reads them.
  char buf[16];
  SSL_read(c, buf, sizeof buf);
  SSL_SESSION *session = SSL_get1_session(c);
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(SSL_SESSION_is_resumable(session));

  SSL *s2, *c2;
  int firstServer = serverFd, firstClient = clientFd;
  Pair(&s2, &c2, session);
  ASSERT_TRUE(Handshake(s2, c2));
  EXPECT_TRUE(TlsResumed(s2));
  EXPECT_STREQ(TlsVersion(s2), "TLSv1.3");
  SSL_SESSION_free(session);
  ClosePair(s2, c2);
  serverFd = firstServer;
  clientFd = firstClient;
  ClosePair(s, c);
}

TEST_F(Tls, GarbageOrSilenceInsteadOfAHelloNeverBlocks) {
  SSL *s, *c;
  Pair(&s, &c);
  // Silence: the server asks to wait for the socket and returns at once.
  EXPECT_EQ(TlsAccept(s), kTlsWantRead);
  // Plain text where the ClientHello belongs fails the handshake.
  ASSERT_EQ(write(clientFd, "USER anonymous\r\n", 16), 16);
  int r = 0;
  ASSERT_TRUE(harness::WaitFor([&] { return (r = TlsAccept(s)) != kTlsWantRead; }, 5));
  EXPECT_EQ(r, kTlsFailed);
  // Nothing may be sent after the failure: the shutdown stays silent.
  TlsShutdown(s);
  ClosePair(s, c);

  // A client that sends half its hello and goes away: a real hello is
  // taken from a client, and half of it is fed to a fresh server end.
  Pair(&s, &c);
  ASSERT_EQ(SSL_do_handshake(c), -1);
  char hello[4096];
  ssize_t n = read(serverFd, hello, sizeof hello);
  ASSERT_GT(n, 10);
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  SetNonBlocking(fds[0]);
  SSL *half = TlsNew(server, fds[0]);
  ASSERT_EQ(write(fds[1], hello, (size_t)n / 2), n / 2);
  EXPECT_EQ(TlsAccept(half), kTlsWantRead);
  close(fds[1]);  // then goes away
  EXPECT_EQ(TlsAccept(half), kTlsFailed);
  TlsFree(half);
  close(fds[0]);
  ClosePair(s, c);
}

// The servers' own calls: the handshake happens inside the first read,
// and every "wait" names the readiness the TLS layer needs.
TEST_F(Tls, ConnectionCallsCarryTheHandshakeAndTheClose) {
  SSL *unused, *c;
  Pair(&unused, &c);
  TlsFree(unused);  // the connection calls make their own
  ConnIo io;
  ConnOpen(&io, serverFd);
  ASSERT_EQ(ConnStartTls(&io, server), 0);
  ASSERT_NE(ConnSsl(&io), nullptr);
  char buf[64];
  EXPECT_EQ(ConnRead(&io, buf, sizeof buf), kConnWait);
  EXPECT_EQ(io.want, kLoopReadable);

  // Client and server take turns until the client's request arrives.
  bool clientDone = false;
  ssize_t n = kConnWait;
  ASSERT_TRUE(harness::WaitFor([&] {
    if (!clientDone) clientDone = SSL_do_handshake(c) == 1;
    if (clientDone && SSL_write(c, "USER a\r\nPASS b\r\n", 16) != 16) return false;
    n = ConnRead(&io, buf, 6);
    return n > 0;
  }, 5));
  EXPECT_EQ(std::string(buf, (size_t)n), "USER a");
  // The rest came in the same record: it waits inside, not in the socket.
  EXPECT_EQ(ConnPending(&io), 10);
  EXPECT_EQ(ConnRead(&io, buf, sizeof buf), 10);

  // Pieces leave together, and the client reads them in order.
  struct iovec parts[3] = {{(void *)"HTTP/1.0 200 OK\r\n", 17},
                           {(void *)"", 0},
                           {(void *)"\r\nbody", 6}};
  EXPECT_EQ(ConnWrite(&io, parts, 3), 23);
  std::string got;
  ASSERT_TRUE(harness::WaitFor([&] {
    int r = SSL_read(c, buf, sizeof buf);
    if (r > 0) got.append(buf, (size_t)r);
    return got.size() >= 23;
  }, 5));
  EXPECT_EQ(got, "HTTP/1.0 200 OK\r\n\r\nbody");

  harness::TempDir dir;
  harness::WriteFile(dir / "f", "file bytes");
  int file = open((dir / "f").c_str(), O_RDONLY);
  EXPECT_EQ(ConnSendFile(&io, file, 100), 10);
  EXPECT_EQ(ConnSendFile(&io, file, 100), 0);
  close(file);

  // The close says goodbye in TLS: the client sees an orderly end after
  // the data, not a cut.
  EXPECT_EQ(ConnClose(&io), 0);
  EXPECT_EQ(io.tls, nullptr);
  serverFd = -1;
  got.clear();
  int r = 0;
  ASSERT_TRUE(harness::WaitFor([&] {
    r = SSL_read(c, buf, sizeof buf);
    if (r > 0) got.append(buf, (size_t)r);
    return r <= 0 && SSL_get_error(c, r) != SSL_ERROR_WANT_READ;
  }, 5));
  EXPECT_EQ(got, "file bytes");
  EXPECT_EQ(SSL_get_error(c, r), SSL_ERROR_ZERO_RETURN);
  SSL_free(c);
  close(clientFd);
}

TEST_F(Tls, ContextRefusesMissingOrMismatchedFiles) {
  char error[256] = "";
  EXPECT_EQ(TlsServerContext("/nonexistent.pem", Key().c_str(), false, error, sizeof error),
            nullptr);
  EXPECT_NE(std::string(error).find("/nonexistent.pem"), std::string::npos) << error;

  harness::TempDir other;
  std::string out;
  ASSERT_EQ(harness::Run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out '" +
                             (other / "k.pem") + "'",
                         &out, 30),
            0)
      << out;
  error[0] = '\0';
  EXPECT_EQ(TlsServerContext(Cert().c_str(), (other / "k.pem").c_str(), false, error,
                             sizeof error),
            nullptr);
  EXPECT_NE(std::string(error).find("k.pem"), std::string::npos) << error;
  // A certificate file given as the key is no key at all.
  error[0] = '\0';
  EXPECT_EQ(TlsServerContext(Cert().c_str(), Cert().c_str(), false, error, sizeof error),
            nullptr);
  EXPECT_NE(error[0], '\0');
}

}  // namespace
