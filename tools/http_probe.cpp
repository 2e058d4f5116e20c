// probe: an interactive HTTP test client. It builds one HTTP/1.0 request
// from the typed method, optional byte range and path, sends it, and shows
// the raw answer piece by piece with the byte count of each piece.
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "prompt_connect.h"
#include "sockets.h"
#include "string_helpers.h"

static const char PromptAddress[] = "Enter server IP address or q to quit program.\n: ";
static const char PromptPort[] = "Enter server port.\n: ";
static const char PromptMethod[] = "Enter HTTP Method.\n: ";
static const char PromptRange[] = "Enter byte range field or x to skip.\n: ";
static const char PromptPath[] = "Enter file name (/filename).\n: ";
static const char MsgConnected[] = "Connected to server.";
static const char MsgSending[] = "Sending:\n%s";
static const char MsgSent[] = "%d B sent to server.\n";
static const char MsgBufferSent[] = "\nBuffer sent.";
static const char MsgReceived[] = "%d bytes recv from server.\n";
static const char MsgClosedByServer[] = "\nConnection closed by server.";
static const char MsgSocketError[] = "Error on socket.";

static const char RequestPlain[] = "%s %s HTTP/1.0\r\n\r\n";
static const char RequestRange[] = "%s %s HTTP/1.0\r\nRange: bytes=%s\r\n\r\n";

enum { AddressSize = 16, PortSize = 6, MethodSize = 16, RangeSize = 32,
       PathSize = 64, BufferSize = 512 };

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

int main() {
  IgnoreSigpipe();
  if (StartWinsock() != 0) return ExitFailed;
  char address[AddressSize], port[PortSize], method[MethodSize];
  char range[RangeSize], path[PathSize];
  if (Ask(PromptAddress, address, sizeof address) != 0) return ExitDone;
  if (strcmp(address, "q") == 0) return ExitDone;
  if (Ask(PromptPort, port, sizeof port) != 0 ||
      Ask(PromptMethod, method, sizeof method) != 0 ||
      Ask(PromptRange, range, sizeof range) != 0 ||
      Ask(PromptPath, path, sizeof path) != 0)
    return ExitDone;

  // The largest request the typed fields allow is far below the buffer.
  char buffer[BufferSize];
  if (strcmp(range, "x") == 0)
    snprintf(buffer, sizeof buffer, RequestPlain, method, path);
  else
    snprintf(buffer, sizeof buffer, RequestRange, method, path, range);

  int sock = ConnectToServer(address, ParseInt(port));
  if (sock < 0) return End(-1, ExitFailed);
  puts(MsgConnected);
  printf(MsgSending, buffer);

  size_t len = strlen(buffer);
  for (size_t sent = 0; sent < len;) {
    fflush(stdout);
    ssize_t n = SendBytes(sock, buffer + sent, len - sent);
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

  for (;;) {
    fflush(stdout);
    memset(buffer, 0, sizeof buffer);
    ssize_t n = RecvBytes(sock, buffer, sizeof buffer - 1);
    if (n > 0) {
      printf(MsgReceived, (int)n);
      fwrite(buffer, 1, (size_t)n, stdout);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    puts(n == 0 ? MsgClosedByServer : MsgSocketError);
    return End(sock, n == 0 ? ExitDone : ExitFailed);
  }
}
