// probe: an interactive HTTP test client. It builds one HTTP/1.0 request
// from the typed method, optional byte range, path and header lines, sends
// it with a Host field naming the server as typed, and shows the raw answer
// piece by piece with the byte count of each piece (a body that is not
// text only counted).
#include <sys/socket.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "prompt_connect.h"
#include "sockets.h"
#include "string_helpers.h"

static const char MsgUsage[] =
    "Usage: probe\n"
    "An interactive HTTP test client. It asks for the server's address (a\n"
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

static const char RequestLine[] = "%s %s HTTP/1.0\r\n";
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

int main(int argc, char **argv) {
  if (argc > 1) {
    bool help = argc == 2 && strcmp(argv[1], "--help") == 0;
    fputs(MsgUsage, help ? stdout : stderr);
    return help ? ExitDone : ExitFailed;
  }
  IgnoreSigpipe();
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

  int sock = ConnectToServer(address, portNumber);
  if (sock < 0) return End(-1, ExitFailed);
  puts(MsgConnected);
  printf(MsgSending, request);

  for (size_t sent = 0; sent < len;) {
    fflush(stdout);
    ssize_t n = SendBytes(sock, request + sent, len - sent);
    if (n > 0) {
      sent += (size_t)n;
      printf(MsgSent, (int)n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    puts(n == 0 ? MsgClosedByServer : MsgSocketError);
    return End(sock, n == 0 ? ExitDone : ExitFailed);
  }
  puts(MsgBufferSent);

  Answer answer;
  char buffer[ReadSize];
  for (;;) {
    fflush(stdout);
    ssize_t n = RecvBytes(sock, buffer, sizeof buffer - 1);
    if (n > 0) {
      printf(MsgReceived, (int)n);
      ShowPiece(&answer, buffer, (size_t)n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (answer.binary) printf(MsgBinaryBody, answer.bodyBytes);
    puts(n == 0 ? MsgClosedByServer : MsgSocketError);
    return End(sock, n == 0 ? ExitDone : ExitFailed);
  }
}
