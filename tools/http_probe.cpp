// probe: an HTTP test client. Without arguments it asks for the method,
// optional byte range, path and header lines and builds one HTTP/1.0
// request with a Host field naming the server as typed; with a URL it
// sends one HTTP/1.1 request over http:// or https:// built from the
// options. Either way it shows the raw answer piece by piece with the byte
// count of each piece (a body that is not text only counted).
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "prompt_connect.h"
#include "sockets.h"
#include "string_helpers.h"
#include "tool_conn.h"
#include "tool_name.h"

static const char MsgUsage[] =
    "Usage: %s [-k] [-u USER:PASS] [-H 'Name: value']... [-X METHOD] [-r RANGE] URL\n"
    "       %s\n"
    "An HTTP test client. With a URL (http:// or https://) it sends one\n"
    "HTTP/1.1 request with a Host field from the URL:\n"
    "  -X METHOD  the method (GET unless given)\n"
    "  -r RANGE   a Range field, bytes=RANGE\n"
    "  -u U:P     Basic credentials (also taken from U:P@ in the URL)\n"
    "  -H LINE    a further header line (may be repeated)\n"
    "  -k         accept any server certificate\n"
    "Without arguments it asks for the server's address (a\n"
    "numeric address or a host name), port, method, byte range (x for\n"
    "none), path and any further header lines (an empty line ends them),\n"
    "sends one HTTP/1.0 request with a Host field, and shows the answer\n"
    "with the byte count of each piece; a body that is not text is only\n"
    "counted.\n"
    "Exit status: 0 for a normal end, 1 for a failure.\n";
static const char PromptAddress[] = "Enter server IP address or q to quit program.\n: ";
static const char PromptPort[] = "Enter server port.\n: ";
static const char PromptMethod[] = "Enter HTTP Method.\n: ";
static const char PromptRange[] = "Enter byte range field or x to skip.\n: ";
static const char PromptPath[] = "Enter file name (/filename).\n: ";
static const char PromptHeaders[] = "Enter header lines, an empty line to send.\n: ";
static const char PromptMoreHeaders[] = ": ";
static const char MsgConnected[] = "Connected to server.";
static const char MsgSending[] = "Sending:\n%s";
static const char MsgSent[] = "%d B sent to server.\n";
static const char MsgBufferSent[] = "\nBuffer sent.";
static const char MsgReceived[] = "%d bytes recv from server.\n";
static const char MsgBinaryBody[] = "(%" PRIu64 " bytes of body, binary: not shown)\n";
static const char MsgClosedByServer[] = "\nConnection closed by server.";
static const char MsgSocketError[] = "Error on socket.";
static const char MsgTooLong[] = "The request does not fit the buffer.";

static const char MsgBadUrl[] = "The URL must be http://HOST[:PORT][/PATH] or https://...";
static const char MsgVersion[] = "%s %s\n";

static const char RequestLine[] = "%s %s HTTP/1.0\r\n";
static const char RequestLine11[] = "%s %s HTTP/1.1\r\n";
static const char AuthField[] = "Authorization: Basic %s\r\n";
static const char CloseField[] = "Connection: close\r\n";
static const char HostField[] = "Host: %s%s%s%s\r\n";
static const char RangeField[] = "Range: bytes=%s\r\n";
static const char HeaderLine[] = "%s\r\n";
static const char HeadEnd[] = "\r\n";

// The request buffer holds the request line, the fields and the empty
// line; a path may take nearly all of it. Answers are read 511 bytes at a
// time.
enum { AddressSize = 256, PortSize = 6, MethodSize = 16, RangeSize = 32,
       RequestSize = 4096, PathSize = RequestSize, HeaderSize = 1024, ReadSize = 512 };

// A failure is told apart from the user or the server ending the exchange.
enum { ExitDone = 0, ExitFailed = 1 };

static int Ask(const char *prompt, char *buf, size_t size) {
  fputs(prompt, stdout);
  return InputString(buf, size);
}

static int End(int sock, int status) {
  fflush(stdout);
  CloseConnection(sock);
  return status;
}

// Appends to the request; false when it does not fit.
static bool Append(char *request, size_t *len, const char *format, const char *a,
                   const char *b = "", const char *c = "", const char *d = "") {
  int n = snprintf(request + *len, RequestSize - *len, format, a, b, c, d);
  if (n < 0 || (size_t)n >= RequestSize - *len) return false;
  *len += (size_t)n;
  return true;
}

// True for bytes that text does not hold.
static bool Binary(const char *p, size_t n) {
  for (size_t i = 0; i < n; i++) {
    unsigned char c = (unsigned char)p[i];
    if (c == 0 || (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') || c == 0x7f)
      return true;
  }
  return false;
}

// How far the answer has come: the head is always shown; a body is shown
// until a piece of it turns out not to be text.
struct Answer {
  int headEnd = 0;  // bytes of "\r\n\r\n" matched so far (4: body follows)
  bool binary = false;
  uint64_t bodyBytes = 0;
};

static void ShowPiece(Answer *a, const char *p, size_t n) {
  size_t i = 0;
  while (i < n && a->headEnd < 4) {
    char want = "\r\n\r\n"[a->headEnd];
    a->headEnd = p[i] == want ? a->headEnd + 1 : (p[i] == '\r' ? 1 : 0);
    i++;
  }
  fwrite(p, 1, i, stdout);
  if (i == n) return;
  a->bodyBytes += n - i;
  if (!a->binary && Binary(p + i, n - i)) a->binary = true;
  if (!a->binary) fwrite(p + i, 1, n - i, stdout);
}

// Connects, sends the request and shows the answer as it comes.
static int Exchange(const char *host, int port, SSL_CTX *tls, const char *request, size_t len) {
  ToolConn conn;
  conn.fd = ConnectToServer(host, port);
  if (conn.fd < 0) return End(-1, ExitFailed);
  puts(MsgConnected);
  if (tls && ToolStartTls(&conn, tls, host, nullptr) != 0) {
    ToolClose(&conn);
    return End(-1, ExitFailed);
  }
  printf(MsgSending, request);
  fflush(stdout);
  ssize_t n = ToolWriteAll(&conn, request, len);
  if (n != (ssize_t)len) {
    puts(n == 0 ? MsgClosedByServer : MsgSocketError);
    ToolClose(&conn);
    return End(-1, n == 0 ? ExitDone : ExitFailed);
  }
  printf(MsgSent, (int)n);
  puts(MsgBufferSent);

  Answer answer;
  char buffer[ReadSize];
  for (;;) {
    fflush(stdout);
    n = ToolRead(&conn, buffer, sizeof buffer - 1);
    if (n > 0) {
      printf(MsgReceived, (int)n);
      ShowPiece(&answer, buffer, (size_t)n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (answer.binary) printf(MsgBinaryBody, answer.bodyBytes);
    puts(n == 0 ? MsgClosedByServer : MsgSocketError);
    ToolClose(&conn);
    return End(-1, n == 0 ? ExitDone : ExitFailed);
  }
}

// The parts of an http:// or https:// URL the request is made from.
struct Target {
  bool tls = false;
  std::string host;         // without the brackets of an IPv6 address
  std::string hostField;    // as the Host field carries it
  int port = 80;
  std::string path = "/";
  std::string credentials;  // USER:PASS given in the URL
};

static bool ParseUrl(const std::string &url, Target *t) {
  size_t at;
  if (url.compare(0, 7, "http://") == 0) {
    at = 7;
  } else if (url.compare(0, 8, "https://") == 0) {
    at = 8;
    t->tls = true;
    t->port = 443;
  } else {
    return false;
  }
  size_t end = url.find_first_of("/?#", at);
  std::string authority = url.substr(at, end == std::string::npos ? std::string::npos : end - at);
  if (end != std::string::npos) t->path = url.substr(end);
  if (t->path[0] != '/') t->path = "/" + t->path;
  size_t hash = t->path.find('#');
  if (hash != std::string::npos) t->path.erase(hash);
  size_t userEnd = authority.rfind('@');
  if (userEnd != std::string::npos) {
    t->credentials = authority.substr(0, userEnd);
    authority.erase(0, userEnd + 1);
  }
  t->hostField = authority;
  size_t portAt = std::string::npos;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    t->host = authority.substr(1, close - 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return false;
      portAt = close + 2;
    }
  } else {
    size_t colon = authority.find(':');
    t->host = authority.substr(0, colon);
    if (colon != std::string::npos) portAt = colon + 1;
  }
  if (portAt != std::string::npos) {
    t->port = ParseInt(authority.c_str() + portAt);
    if (t->port <= 0 || t->port > 65535) return false;
  }
  return !t->host.empty();
}

static std::string Base64(const std::string &text) {
  std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(&out[0]),
                          reinterpret_cast<const unsigned char *>(text.data()), (int)text.size());
  out.resize(n > 0 ? (size_t)n : 0);
  return out;
}

// One request from the command line's options and URL.
static int FromArguments(int argc, char **argv, const char *name) {
  std::string method = "GET", range, credentials, headers, url;
  bool insecure = false;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    bool value = a == "-X" || a == "-r" || a == "-u" || a == "-H";
    if (value && i + 1 == argc) a = "";
    if (a == "-k") {
      insecure = true;
    } else if (a == "-X") {
      method = argv[++i];
    } else if (a == "-r") {
      range = argv[++i];
    } else if (a == "-u") {
      credentials = argv[++i];
    } else if (a == "-H") {
      headers += std::string(argv[++i]) + "\r\n";
    } else if (url.empty() && !a.empty() && a[0] != '-') {
      url = a;
    } else {
      fprintf(stderr, MsgUsage, name, name);
      return ExitFailed;
    }
  }
  Target t;
  if (!ParseUrl(url, &t) || method.empty() || method.find_first_of(" \r\n") != std::string::npos) {
    fputs(MsgBadUrl, stderr);
    fputc('\n', stderr);
    return ExitFailed;
  }
  if (credentials.empty()) credentials = t.credentials;
  static char request[RequestSize];
  size_t len = 0;
  bool fits = Append(request, &len, RequestLine11, method.c_str(), t.path.c_str()) &&
              Append(request, &len, HostField, t.hostField.c_str());
  if (fits && !credentials.empty())
    fits = Append(request, &len, AuthField, Base64(credentials).c_str());
  if (fits && !range.empty()) fits = Append(request, &len, RangeField, range.c_str());
  // One request per run: the server is asked to close after answering, so
  // the end of the answer is the end of the connection, as with HTTP/1.0.
  if (fits) fits = Append(request, &len, CloseField, "");
  if (fits && !headers.empty()) fits = Append(request, &len, "%s", headers.c_str());
  if (fits) fits = Append(request, &len, HeadEnd, "");
  if (!fits) {
    puts(MsgTooLong);
    return End(-1, ExitFailed);
  }
  SSL_CTX *ctx = nullptr;
  if (t.tls && !(ctx = ToolTlsContext(!insecure))) return ExitFailed;
  int status = Exchange(t.host.c_str(), t.port, ctx, request, len);
  if (ctx) SSL_CTX_free(ctx);
  return status;
}

int main(int argc, char **argv) {
  const char *name = ToolName(argv[0]);
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    printf(MsgUsage, name, name);
    return ExitDone;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf(MsgVersion, name, kToolsVersion);
    return ExitDone;
  }
  IgnoreSigpipe();
  if (argc > 1) return FromArguments(argc, argv, name);
  static char address[AddressSize], port[PortSize], method[MethodSize];
  static char range[RangeSize], path[PathSize], header[HeaderSize];
  if (Ask(PromptAddress, address, sizeof address) != 0) return ExitDone;
  if (strcmp(address, "q") == 0) return ExitDone;
  if (Ask(PromptPort, port, sizeof port) != 0 ||
      Ask(PromptMethod, method, sizeof method) != 0 ||
      Ask(PromptRange, range, sizeof range) != 0 ||
      Ask(PromptPath, path, sizeof path) != 0)
    return ExitDone;

  static char request[RequestSize];
  size_t len = 0;
  // The Host field names the server as typed; an IPv6 address goes in
  // brackets, and the port is left out where it is HTTP's own.
  bool v6 = strchr(address, ':') != nullptr;
  int portNumber = ParseInt(port);
  char portText[PortSize + 1] = "";
  if (portNumber != 80) snprintf(portText, sizeof portText, ":%d", portNumber);
  bool fits = Append(request, &len, RequestLine, method, path) &&
              Append(request, &len, HostField, v6 ? "[" : "", address, v6 ? "]" : "", portText);
  if (fits && strcmp(range, "x") != 0) fits = Append(request, &len, RangeField, range);
  // End of input ends the header lines (and sends), as an empty line does.
  for (const char *prompt = PromptHeaders;
       fits && Ask(prompt, header, sizeof header) == 0 && header[0] != '\0';
       prompt = PromptMoreHeaders)
    fits = Append(request, &len, HeaderLine, header);
  if (fits) fits = Append(request, &len, HeadEnd, "");
  if (!fits) {
    puts(MsgTooLong);
    return End(-1, ExitFailed);
  }
  return Exchange(address, portNumber, nullptr, request, len);
}
