// client: an interactive FTP test client. It sends typed command lines on
// the control connection and shows every line the server answers, marked
// with '>'; after a 227 reply to PASV it asks where the data connection
// goes and opens it, and what a LIST, NLST or RETR brings over it is shown
// (text as text, anything else as a byte count).
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "prompt_connect.h"
#include "sockets.h"
#include "string_helpers.h"

static const char MsgUsage[] =
    "Usage: client\n"
    "An interactive FTP test client. It asks for the server's address (a\n"
    "numeric address or a host name) and port, then sends each typed line\n"
    "as a command and shows every line of the replies after '>'. After a\n"
    "227 reply to PASV it asks where the data connection goes; what a\n"
    "LIST, NLST or RETR then brings over it is shown, text as text and\n"
    "anything else as a byte count. QUIT shows the last reply and ends.\n"
    "Exit status: 0 for a normal end, 1 for a failure.\n";
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
static const char MsgDataText[] = "(%" PRIu64 " bytes on the data connection)\n";
static const char MsgDataBinary[] =
    "(%" PRIu64 " bytes on the data connection, binary: not shown)\n";
static const char MsgDataError[] = "(data connection failed after %" PRIu64 " bytes)\n";

// Host names may be long; port text 6 bytes, command line 512 bytes (at
// most 501 characters typed), control data read 512 bytes at a time.
enum { AddressSize = 256, PortSize = 6, CommandSize = 512, CommandTyped = 502,
       ReadSize = 512, DataSize = 4096 };

// Exit statuses: a failure is told apart from the user or the server
// ending the dialogue.
enum { ExitDone = 0, ExitFailed = 1 };

// Where the reading of the control connection stands: replies are shown
// line by line as they arrive, and each line end is judged against the
// reply rules (a line "xyz-" opens a multi-line reply that the line
// "xyz " closes; any other line is a reply of its own).
struct ReplyState {
  char head[4] = {0, 0, 0, 0};  // the first four bytes of the current line
  size_t lineLen = 0;           // bytes of the current line shown so far
  bool heldCR = false;          // a CR waits to see whether LF follows
  char openCode[3] = {0, 0, 0}; // code of an open multi-line reply
  bool inBlock = false;
};

struct Session {
  int control = -1;
  int data = -1;  // the last PASV data connection, open until used
  ReplyState reply;
  char held[ReadSize];  // read but not yet shown (after a finished reply)
  size_t heldLen = 0;
  bool failed = false;  // a socket error was met: the end is a failure
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
// on the non-blocking socket is not retried in a spin. With a time limit
// (ms >= 0): false when nothing came within it.
static bool WaitReadable(int sock, int ms) {
  struct pollfd p;
  p.fd = sock;
  p.events = POLLIN;
  p.revents = 0;
  int r;
  while ((r = poll(&p, 1, ms)) < 0 && errno == EINTR) {
  }
  return r > 0;
}

static bool ReplyDigits(const char *h) {
  return h[0] >= '0' && h[0] <= '9' && h[1] >= '0' && h[1] <= '9' && h[2] >= '0' && h[2] <= '9';
}

// Shows bytes of the control connection until one reply is complete.
// Returns the number of bytes used; *code is the reply's code (0 for a
// line that is no numbered reply) when one completed, -1 otherwise.
static size_t ShowReplyBytes(ReplyState *r, const char *bytes, size_t n, int *code) {
  *code = -1;
  for (size_t i = 0; i < n; i++) {
    char c = bytes[i];
    if (r->lineLen == 0 && !r->heldCR) fputs(MarkReply, stdout);
    if (r->heldCR) {
      r->heldCR = false;
      // A CR before the LF ends the line; any other CR is shown.
      if (c != '\n') {
        putchar('\r');
        r->lineLen++;
      }
    }
    if (c == '\r') {
      r->heldCR = true;
      continue;
    }
    if (c != '\n') {
      if (r->lineLen < 4) r->head[r->lineLen] = c;
      r->lineLen++;
      putchar(c);
      continue;
    }
    putchar('\n');
    bool numbered = r->lineLen >= 3 && ReplyDigits(r->head);
    char mark = r->lineLen >= 4 ? r->head[3] : ' ';
    r->lineLen = 0;
    if (r->inBlock) {
      if (numbered && mark == ' ' && memcmp(r->head, r->openCode, 3) == 0) {
        r->inBlock = false;
        *code = atoi(r->openCode);
      }
    } else if (numbered && mark == '-') {
      r->inBlock = true;
      memcpy(r->openCode, r->head, 3);
    } else {
      *code = numbered ? (r->head[0] - '0') * 100 + (r->head[1] - '0') * 10 + (r->head[2] - '0')
                       : 0;
    }
    memset(r->head, 0, sizeof r->head);
    if (*code >= 0) return i + 1;
  }
  return n;
}

// Reads more of the control connection into the held bytes. Ends the
// program when the server has closed; false on a socket error.
static bool ReadControl(Session *s) {
  for (;;) {
    fflush(stdout);
    ssize_t n = RecvBytes(s->control, s->held, sizeof s->held);
    if (n > 0) {
      s->heldLen = (size_t)n;
      return true;
    }
    if (n == 0) {
      puts(MsgClosedByServer);
      Finish(s, s->failed ? ExitFailed : ExitDone);
    }
    if (!WouldBlock(errno)) {
      puts(MsgSocketError);
      s->failed = true;
      return false;
    }
    WaitReadable(s->control, -1);
  }
}

// Shows the next complete reply (reading as needed) and returns its code,
// or -1 after a socket error.
static int NextReply(Session *s) {
  for (;;) {
    if (s->heldLen == 0 && !ReadControl(s)) return -1;
    int code;
    size_t used = ShowReplyBytes(&s->reply, s->held, s->heldLen, &code);
    memmove(s->held, s->held + used, s->heldLen - used);
    s->heldLen -= used;
    if (code >= 0) return code;
  }
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

// Reads the data connection to its end, showing text as it comes (line
// ends without their CR) and counting the rest, then closes it.
static void ShowData(Session *s) {
  static char buf[DataSize];
  uint64_t total = 0;
  bool binary = false, failed = false, lineOpen = false;
  for (;;) {
    fflush(stdout);
    ssize_t n = RecvBytes(s->data, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed = true;
    if (n <= 0) break;
    total += (uint64_t)n;
    if (!binary && Binary(buf, (size_t)n)) binary = true;
    if (binary) continue;
    for (ssize_t i = 0; i < n; i++)
      if (!(buf[i] == '\r' && i + 1 < n && buf[i + 1] == '\n')) putchar(buf[i]);
    lineOpen = buf[n - 1] != '\n';
  }
  if (lineOpen && !binary) putchar('\n');
  printf(failed ? MsgDataError : binary ? MsgDataBinary : MsgDataText, total);
  CloseConnection(s->data);
  s->data = -1;
}

// The first word of the command is one whose answer comes on the data
// connection.
static bool DataCommand(const char *command) {
  static const char *const Words[] = {"LIST", "NLST", "RETR"};
  for (const char *word : Words)
    if (strncasecmp(command, word, 4) == 0 && (command[4] == '\0' || command[4] == ' '))
      return true;
  return false;
}

// Shows the replies to one command: every line that arrives until a final
// reply (not 1xx), and, when a 1xx reply opens a transfer of a data
// command, what comes on the data connection before the final reply.
// Lines already read with it are shown too. Returns the final code.
static int ShowReplies(Session *s, const char *command) {
  int code;
  do {
    code = NextReply(s);
    if (code >= 100 && code < 200 && s->data >= 0 && DataCommand(command)) ShowData(s);
  } while (code >= 100 && code < 200);
  // Two replies in one read: the second is shown at once, not an exchange
  // late.
  while (s->heldLen > 0 && code >= 0) {
    int more;
    size_t used = ShowReplyBytes(&s->reply, s->held, s->heldLen, &more);
    memmove(s->held, s->held + used, s->heldLen - used);
    s->heldLen -= used;
  }
  return code;
}

// Lines that came while the user was typing (a time-out notice, say) are
// shown before the command goes out, so that they are not taken for its
// answer.
static void ShowWaiting(Session *s) {
  while (s->reply.lineLen == 0 && !s->reply.inBlock && WaitReadable(s->control, 0)) {
    if (!ReadControl(s)) return;
    ShowReplies(s, "");
  }
}

static int SetMode(int sock, int nonBlocking) {
  int flag = nonBlocking;
  return ioctl(sock, FIONBIO, &flag);
}

int main(int argc, char **argv) {
  if (argc > 1) {
    bool help = argc == 2 && strcmp(argv[1], "--help") == 0;
    fputs(MsgUsage, help ? stdout : stderr);
    return help ? ExitDone : ExitFailed;
  }
  IgnoreSigpipe();
  static Session s;
  if (AskAndConnect(PromptAddress, true, &s.control) != 0) return ExitDone;
  if (s.control < 0) {
    puts(MsgNotConnected);
    return ExitFailed;
  }
  puts(MsgConnected);
  fputs(MsgHowToQuit, stdout);
  fputs(MsgEnterCommand, stdout);

  char command[CommandSize];
  memset(command, 0, sizeof command);
  // Only the greeting is awaited in non-blocking mode; every later reply
  // is read with the socket blocking.
  int nonBlocking = 1;
  for (;;) {
    if (SetMode(s.control, nonBlocking) != 0) {
      fflush(stdout);
      fputs(MsgNonBlockingFailed, stderr);
      Finish(&s, ExitFailed);
    }
    int code = ShowReplies(&s, command);
    if (strcmp(command, "QUIT") == 0) break;

    if (strncmp(command, "PASV", 4) == 0 && code == 227) {
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
    ShowWaiting(&s);
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
  }
  Finish(&s, ExitDone);
}
