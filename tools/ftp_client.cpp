// client: an interactive FTP test client. It sends typed command lines on
// the control connection and shows the first line of each reply; after a
// 227 reply to PASV it asks where the data connection goes and opens it.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "prompt_connect.h"
#include "sockets.h"
#include "string_helpers.h"

static const char MsgNoWinsock[] = "ERROR - Could not Initialize Winsock.";
static const char PromptAddress[] = "Enter server IP address or q to quit program.\n: ";
static const char PromptPort[] = "Enter server port.\n: ";
static const char MsgConnected[] = "Connected to server.";
static const char MsgNotConnected[] = "Not connected.";
static const char MsgHowToQuit[] =
    "Enter QUIT on a single line to close connection and exit program.\n: ";
static const char MsgEnterCommand[] = "Enter FTP command and arguments.\n";
static const char MarkReply[] = ">";
static const char MarkCommand[] = "<";
static const char PromptDataAddress[] =
    "Creating data connection.\nEnter server IP address.\n: ";
static const char MsgClosedByServer[] = "\nConnection closed by server.";
static const char MsgSocketError[] = "\nError on socket.";
static const char MsgNonBlockingFailed[] = "\nSetting socket to non-blocking mode failed.\n";
static const char MsgBlockingFailed[] = "\nSetting socket to blocking mode failed.\n";

enum { AddressSize = 16, PortSize = 6, CommandSize = 512, CommandTyped = 502,
       ReplySize = 512 };

// Exit statuses: a failure is told apart from the user or the server
// ending the dialogue.
enum { ExitDone = 0, ExitFailed = 1 };

struct Session {
  int control = -1;
  int data = -1;  // the last PASV data connection, kept open until replaced
};

[[noreturn]] static void Finish(Session *s, int status) {
  fflush(stdout);
  CloseConnection(s->data);
  CloseConnection(s->control);
  exit(status);
}

// Asks for an address and a port and connects (*sock is -1 when that
// failed). Returns -1 at end of input, or for q where q quits.
static int AskAndConnect(const char *addressPrompt, bool qQuits, int *sock) {
  char address[AddressSize];
  char port[PortSize];
  fputs(addressPrompt, stdout);
  if (InputString(address, sizeof address) != 0) return -1;
  if (qQuits && strcmp(address, "q") == 0) return -1;
  fputs(PromptPort, stdout);
  if (InputString(port, sizeof port) != 0) return -1;
  *sock = ConnectToServer(address, ParseInt(port));
  return 0;
}

// Waits until the socket has something to read, so that a would-block read
// on the non-blocking socket is not retried in a spin.
static void WaitReadable(int sock) {
  struct pollfd p;
  p.fd = sock;
  p.events = POLLIN;
  p.revents = 0;
  while (poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
}

// Reads one reply and shows it up to and including its first line feed.
// What follows that line feed in the same read is never shown.
static void ShowReply(Session *s, char *reply) {
  memset(reply, 0, ReplySize);
  size_t held = 0;
  while (held < ReplySize - 1) {
    fflush(stdout);
    ssize_t n = RecvBytes(s->control, reply + held, ReplySize - 1 - held);
    if (n == 0) {
      puts(MsgClosedByServer);
      Finish(s, ExitDone);
    }
    if (n < 0) {
      if (WouldBlock(errno)) {
        WaitReadable(s->control);
        continue;
      }
      puts(MsgSocketError);
      return;
    }
    const char *fresh = reply + held;
    const char *lf = (const char *)memchr(fresh, '\n', (size_t)n);
    size_t shown = lf ? (size_t)(lf - fresh) + 1 : (size_t)n;
    fwrite(fresh, 1, shown, stdout);
    held += (size_t)n;
    if (lf) return;
  }
  // A full buffer without a line feed is not the end of the connection:
  // the rest of that line is shown with the next reply.
}

static int SetMode(int sock, int nonBlocking) {
  int flag = nonBlocking;
  return ioctl(sock, FIONBIO, &flag);
}

int main() {
  IgnoreSigpipe();
  if (StartWinsock() != 0) {
    puts(MsgNoWinsock);
    return ExitFailed;
  }
  Session s;
  if (AskAndConnect(PromptAddress, true, &s.control) != 0) return ExitDone;
  if (s.control < 0) {
    puts(MsgNotConnected);
    return ExitFailed;
  }
  puts(MsgConnected);
  fputs(MsgHowToQuit, stdout);
  fputs(MsgEnterCommand, stdout);

  char command[CommandSize];
  char reply[ReplySize];
  memset(command, 0, sizeof command);
  // Only the greeting is awaited in non-blocking mode; every later reply
  // is read with the socket blocking.
  int nonBlocking = 1;
  for (;;) {
    fputs(MarkReply, stdout);
    if (SetMode(s.control, nonBlocking) != 0) {
      fflush(stdout);
      fputs(MsgNonBlockingFailed, stderr);
      Finish(&s, ExitFailed);
    }
    ShowReply(&s, reply);

    if (strncmp(command, "PASV", 4) == 0 && strncmp(reply, "227 ", 4) == 0) {
      int data = -1;
      if (AskAndConnect(PromptDataAddress, false, &data) != 0) Finish(&s, ExitDone);
      puts(data >= 0 ? MsgConnected : MsgNotConnected);
      if (data >= 0) {
        CloseConnection(s.data);
        s.data = data;
      }
    }

    nonBlocking = 0;
    if (SetMode(s.control, nonBlocking) != 0) {
      fflush(stdout);
      fputs(MsgBlockingFailed, stderr);
      Finish(&s, ExitFailed);
    }

    fputs(MarkCommand, stdout);
    memset(command, 0, sizeof command);
    if (InputString(command, CommandTyped) != 0) Finish(&s, ExitDone);
    size_t len = strlen(command);
    memcpy(command + len, "\r\n", 2);
    len += 2;
    for (size_t sent = 0; sent < len;) {
      ssize_t n = SendBytes(s.control, command + sent, len - sent);
      if (n > 0) {
        sent += (size_t)n;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      puts(n == 0 ? MsgClosedByServer : MsgSocketError);
      Finish(&s, n == 0 ? ExitDone : ExitFailed);
    }
    command[len - 2] = '\0';
    if (strcmp(command, "QUIT") == 0) break;
  }
  Finish(&s, ExitDone);
}
