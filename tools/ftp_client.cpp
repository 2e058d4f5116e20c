// client: an interactive FTP test client. It sends typed command lines on
// the control connection and shows every line the server answers, marked
// with '>'. LIST, NLST, MLSD, RETR and STOR get a data connection opened
// by the client itself (EPSV, else PASV) unless one was prepared by hand
// after a typed PASV; what comes over it is shown (text as text, anything
// else as a byte count), saved by `get NAME`, or sent from a file by
// `put NAME`. `TLS` (or -t) encrypts both connections.
//
// Started without a host it asks for the address and port, and keeps the
// prompt '<' in front of the replies, as scripts driving it expect; with a
// host on the command line the prompt has a line of its own.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "clock.h"
#include "prompt_connect.h"
#include "sockets.h"
#include "string_helpers.h"
#include "tool_conn.h"
#include "tool_name.h"

static const char MsgUsage[] =
    "Usage: %s [-t] [-k] [HOST [PORT]]\n"
    "An interactive FTP test client. It connects to HOST (port 21 unless\n"
    "PORT is given), or without HOST asks for the server's address and port,\n"
    "then sends each typed line as a command and shows every line of the\n"
    "replies after '>'. Commands may be typed in any case.\n"
    "LIST, NLST, MLSD, RETR and STOR open their data connection themselves\n"
    "(EPSV, then PASV); a typed PASV asks where the data connection goes\n"
    "instead. What comes over it is shown, text as text and anything else\n"
    "as a byte count.\n"
    "  get NAME   RETR NAME, saved to a file of the same name\n"
    "  put NAME   STOR the file NAME\n"
    "  TLS        AUTH TLS, then PBSZ 0 and PROT P\n"
    "  -t         run TLS after the greeting\n"
    "  -k         accept any server certificate\n"
    "QUIT shows the last reply and ends.\n"
    "Exit status: 0 for a normal end, 1 for a failure.\n";
static const char MsgVersion[] = "%s %s\n";
static const char PromptAddress[] = "Enter server IP address or q to quit program.\n: ";
static const char PromptPort[] = "Enter server port.\n: ";
static const char MsgConnected[] = "Connected to server.";
static const char MsgNotConnected[] = "Not connected.";
static const char MsgHowToQuit[] =
    "Enter QUIT on a single line to close connection and exit program.\n: ";
static const char MsgEnterCommand[] = "Enter FTP command and arguments.\n";
static const char MarkReply[] = ">";
static const char MarkCommand[] = "<";
static const char PromptLine[] = "ftp> ";
static const char PromptDataAddress[] =
    "Creating data connection.\nEnter server IP address.\n: ";
static const char MsgClosedByServer[] = "\nConnection closed by server.";
static const char MsgSocketError[] = "\nError on socket.";
static const char MsgNonBlockingFailed[] = "\nSetting socket to non-blocking mode failed.\n";
static const char MsgDataText[] = "(%" PRIu64 " bytes on the data connection)\n";
static const char MsgDataBinary[] =
    "(%" PRIu64 " bytes on the data connection, binary: not shown)\n";
static const char MsgDataError[] = "(data connection failed after %" PRIu64 " bytes)\n";
static const char MsgSaved[] = "(%" PRIu64 " bytes saved to %s)\n";
static const char MsgSent[] = "(%" PRIu64 " bytes sent from %s)\n";
static const char MsgNoDataConnection[] = "(no data connection: the command is not sent)\n";
static const char MsgCannotOpen[] = "(cannot open %s: %s)\n";
static const char MsgNeedName[] = "(a file name is needed)\n";
static const char MsgNoTls[] = "(TLS was refused: the connection stays plain)\n";
static const char MsgProgress[] = "\r%" PRIu64 " bytes";
static const char MsgProgressShare[] = " (%d%%)";
static const char MsgProgressRate[] = " %.1f KiB/s   ";
static const char MaskedPass[] = "PASS ****";

static const char CmdAuth[] = "AUTH TLS";
static const char CmdPbsz[] = "PBSZ 0";
static const char CmdProt[] = "PROT P";
static const char CmdEpsv[] = "EPSV";
static const char CmdPasv[] = "PASV";

// Host names may be long; port text 6 bytes, command line 512 bytes (at
// most 501 characters typed), control data read 512 bytes at a time; a
// reply line is kept (cut) for the few that carry numbers the client
// needs: 227, 229, 213 and 150.
enum { AddressSize = 256, PortSize = 6, CommandSize = 512, CommandTyped = 502,
       ReadSize = 512, DataSize = 16384, KeptLine = 256 };

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
  char line[KeptLine] = {0};    // the current line, cut to fit
  char last[KeptLine] = {0};    // the last line of the last complete reply
};

// What a data command does with the bytes of its data connection.
enum class DataUse { Show, Save, Send };

struct Transfer {
  DataUse use = DataUse::Show;
  int file = -1;            // the local file saved to or sent from
  char name[CommandSize];   // its name
  int64_t size = -1;        // bytes expected, when known
};

struct Session {
  ToolConn control;
  ToolConn data;  // open until used: a typed PASV's, or one the client opened
  ReplyState reply;
  char held[ReadSize];  // read but not yet shown (after a finished reply)
  size_t heldLen = 0;
  bool failed = false;  // a socket error was met: the end is a failure
  bool lineMode = false;  // started with a host: the prompt has a line of its own
  bool echo = false;      // input is no terminal: commands are shown as sent
  bool progress = false;  // output is a terminal: transfers show their progress
  bool insecure = false;  // -k
  bool protect = false;   // PROT P accepted: data connections are encrypted
  SSL_CTX *ctx = nullptr;
  char host[AddressSize] = {0};
  Transfer xfer;
};

[[noreturn]] static void Finish(Session *s, int status) {
  fflush(stdout);
  ToolClose(&s->data);
  ToolClose(&s->control);
  if (s->xfer.file >= 0) close(s->xfer.file);
  exit(status);
}

// Asks for an address and a port and connects (*sock is -1 when that
// failed). Returns -1 at end of input, or for q where q quits.
static int AskAndConnect(const char *addressPrompt, bool qQuits, int *sock, char *address) {
  char port[PortSize];
  fputs(addressPrompt, stdout);
  if (InputString(address, AddressSize) != 0) return -1;
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

static void KeepChar(ReplyState *r, char c) {
  if (r->lineLen < KeptLine) r->line[r->lineLen] = c;
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
        KeepChar(r, '\r');
        r->lineLen++;
      }
    }
    if (c == '\r') {
      r->heldCR = true;
      continue;
    }
    if (c != '\n') {
      if (r->lineLen < 4) r->head[r->lineLen] = c;
      KeepChar(r, c);
      r->lineLen++;
      putchar(c);
      continue;
    }
    putchar('\n');
    bool numbered = r->lineLen >= 3 && ReplyDigits(r->head);
    char mark = r->lineLen >= 4 ? r->head[3] : ' ';
    r->line[r->lineLen < KeptLine ? r->lineLen : KeptLine - 1] = '\0';
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
    if (*code >= 0) {
      memcpy(r->last, r->line, sizeof r->last);
      return i + 1;
    }
  }
  return n;
}

// Reads more of the control connection into the held bytes. Ends the
// program when the server has closed; false on a socket error, or (when
// `wait` is false) when nothing is there yet.
static bool ReadControl(Session *s, bool wait = true) {
  for (;;) {
    fflush(stdout);
    ssize_t n = ToolRead(&s->control, s->held, sizeof s->held);
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
    if (!wait) return false;
    WaitReadable(s->control.fd, -1);
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

// 0 when all n bytes reached the file.
static int WriteAll(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return -1;
    p += w;
    n -= (size_t)w;
  }
  return 0;
}

// One progress line, rewritten in place, for a person watching a transfer.
static void ShowProgress(const Session *s, uint64_t done, int64_t startMs, bool last) {
  if (!s->progress) return;
  printf(MsgProgress, done);
  if (s->xfer.size > 0) printf(MsgProgressShare, (int)(done * 100 / (uint64_t)s->xfer.size));
  int64_t ms = NowMs() - startMs;
  printf(MsgProgressRate, ms > 0 ? (double)done * 1000.0 / 1024.0 / (double)ms : 0.0);
  if (last) putchar('\n');
  fflush(stdout);
}

// Reads the data connection to its end, showing text as it comes (line
// ends without their CR) and counting the rest, or saving it all to the
// transfer's file; then closes it.
static void ReceiveData(Session *s) {
  static char buf[DataSize];
  uint64_t total = 0;
  bool binary = false, failed = false, lineOpen = false;
  bool save = s->xfer.use == DataUse::Save;
  int64_t start = NowMs(), shown = start;
  for (;;) {
    fflush(stdout);
    ssize_t n = ToolRead(&s->data, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed = true;
    if (n <= 0) break;
    total += (uint64_t)n;
    if (save) {
      if (WriteAll(s->xfer.file, buf, (size_t)n) != 0) {
        failed = true;
        break;
      }
      // A progress line a few times a second, not one per read.
      if (NowMs() - shown >= 200) {
        shown = NowMs();
        ShowProgress(s, total, start, false);
      }
      continue;
    }
    if (!binary && Binary(buf, (size_t)n)) binary = true;
    if (binary) continue;
    for (ssize_t i = 0; i < n; i++)
      if (!(buf[i] == '\r' && i + 1 < n && buf[i + 1] == '\n')) putchar(buf[i]);
    lineOpen = buf[n - 1] != '\n';
  }
  if (save) {
    ShowProgress(s, total, start, true);
    if (failed)
      printf(MsgDataError, total);
    else
      printf(MsgSaved, total, s->xfer.name);
  } else {
    if (lineOpen && !binary) putchar('\n');
    printf(failed ? MsgDataError : binary ? MsgDataBinary : MsgDataText, total);
  }
  ToolClose(&s->data);
}

// Sends the transfer's file over the data connection and closes it, which
// tells the server the upload is complete.
static void SendData(Session *s) {
  static char buf[DataSize];
  uint64_t total = 0;
  bool failed = false;
  int64_t start = NowMs(), shown = start;
  for (;;) {
    ssize_t n = read(s->xfer.file, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed = true;
    if (n <= 0) break;
    if (ToolWriteAll(&s->data, buf, (size_t)n) != n) {
      failed = true;
      break;
    }
    total += (uint64_t)n;
    if (NowMs() - shown >= 200) {
      shown = NowMs();
      ShowProgress(s, total, start, false);
    }
  }
  ShowProgress(s, total, start, true);
  ToolClose(&s->data);
  if (failed)
    printf(MsgDataError, total);
  else
    printf(MsgSent, total, s->xfer.name);
}

// The reply text after its code, for the replies whose numbers are read.
static const char *ReplyText(const Session *s) { return s->reply.last; }

// A 1xx reply opened the transfer: encrypt the data connection when PROT P
// is on (resuming the control connection's session, as servers ask), then
// move the data.
static void RunTransfer(Session *s) {
  // The local file is made only once the server has agreed to send, so a
  // refused RETR leaves a file of that name alone.
  if (s->xfer.use == DataUse::Save && s->xfer.file < 0) {
    s->xfer.file = open(s->xfer.name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (s->xfer.file < 0) {
      printf(MsgCannotOpen, s->xfer.name, strerror(errno));
      ToolClose(&s->data);
      return;
    }
  }
  if (s->protect && s->control.ssl) {
    SSL_SESSION *session = SSL_get1_session(s->control.ssl);
    int r = ToolStartTls(&s->data, s->ctx, s->host, session);
    if (session) SSL_SESSION_free(session);
    if (r != 0) {
      ToolClose(&s->data);
      return;
    }
  }
  if (s->xfer.use == DataUse::Send)
    SendData(s);
  else
    ReceiveData(s);
  if (s->xfer.use == DataUse::Show) return;
  // A "150 ... (N bytes)" reply may have told the size too late to use;
  // the file is done with either way.
  close(s->xfer.file);
  s->xfer.file = -1;
}

// Shows the replies to one command: every line that arrives until a final
// reply (not 1xx), and, when a 1xx reply opens a transfer of a data
// command, moves the data before the final reply. Lines already read with
// it are shown too. Returns the final code.
static int ShowReplies(Session *s, bool dataCommand) {
  int code;
  do {
    code = NextReply(s);
    if (code >= 100 && code < 200 && s->data.fd >= 0 && dataCommand) RunTransfer(s);
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
  while (s->reply.lineLen == 0 && !s->reply.inBlock &&
         (ToolPending(&s->control) > 0 || WaitReadable(s->control.fd, 0))) {
    // An encrypted connection may have brought only TLS's own records.
    if (!ReadControl(s, false)) return;
    int code;
    do {
      size_t used = ShowReplyBytes(&s->reply, s->held, s->heldLen, &code);
      memmove(s->held, s->held + used, s->heldLen - used);
      s->heldLen -= used;
    } while (s->heldLen > 0);
  }
}

// The command word is `word`, in any case.
static bool Is(const char *command, const char *word) {
  size_t n = strlen(word);
  return strncasecmp(command, word, n) == 0 && (command[n] == '\0' || command[n] == ' ');
}

// Sends one command line. Typed commands are shown when the input is no
// terminal (so a scripted run reads as a session), the client's own
// always; a password never.
static void SendCommand(Session *s, const char *command, bool typed) {
  if (!typed || (s->lineMode && s->echo)) {
    if (s->lineMode) fputs(PromptLine, stdout);
    puts(Is(command, "PASS") ? MaskedPass : command);
  }
  static char line[CommandSize + 2];
  size_t len = strlen(command);
  memcpy(line, command, len);
  memcpy(line + len, "\r\n", 2);
  ssize_t n = ToolWriteAll(&s->control, line, len + 2);
  if (n == (ssize_t)len + 2) return;
  puts(n == 0 ? MsgClosedByServer : MsgSocketError);
  Finish(s, n == 0 ? ExitDone : ExitFailed);
}

static int Exchange(Session *s, const char *command, bool typed = false) {
  SendCommand(s, command, typed);
  return ShowReplies(s, false);
}

// AUTH TLS, the handshake, PBSZ 0 and PROT P.
static void StartTls(Session *s) {
  if (s->control.ssl) return;
  if (!s->ctx) s->ctx = ToolTlsContext(!s->insecure);
  if (!s->ctx) Finish(s, ExitFailed);
  if (Exchange(s, CmdAuth) != 234) {
    fputs(MsgNoTls, stdout);
    return;
  }
  if (ToolStartTls(&s->control, s->ctx, s->host, nullptr) != 0) Finish(s, ExitFailed);
  // Kept non-blocking so that looking for waiting lines never blocks on
  // TLS records that carry no reply.
  SetNonBlocking(s->control.fd);
  if (Exchange(s, CmdPbsz) / 100 != 2) return;
  s->protect = Exchange(s, CmdProt) / 100 == 2;
}

// Connects the data connection to the control connection's peer address
// at `port`.
static bool ConnectData(Session *s, int port) {
  struct sockaddr_storage peer;
  socklen_t len = sizeof peer;
  char address[NI_MAXHOST];
  if (getpeername(s->control.fd, (struct sockaddr *)&peer, &len) != 0 ||
      getnameinfo((struct sockaddr *)&peer, len, address, sizeof address, nullptr, 0,
                  NI_NUMERICHOST) != 0)
    return false;
  s->data.fd = ConnectToServer(address, port);
  return s->data.fd >= 0;
}

// EPSV, else PASV: the client reads the port off the reply and connects.
// The address of a 227 reply is not used: the server is the one the control
// connection reaches, which also keeps a reply from sending the client
// elsewhere.
static bool OpenData(Session *s) {
  if (s->data.fd >= 0) return true;
  if (Exchange(s, CmdEpsv) == 229) {
    const char *open = strchr(ReplyText(s), '(');
    unsigned port;
    char d;
    if (open && sscanf(open + 1, "%c%c%c%u", &d, &d, &d, &port) == 4 && port > 0 &&
        port <= 65535)
      return ConnectData(s, (int)port);
  }
  if (Exchange(s, CmdPasv) == 227) {
    const char *open = strchr(ReplyText(s), '(');
    unsigned h[4], p1, p2;
    if (open && sscanf(open + 1, "%u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3], &p1, &p2) == 6 &&
        p1 < 256 && p2 < 256)
      return ConnectData(s, (int)(p1 * 256 + p2));
  }
  return false;
}

// The size the server gives for `name`, or -1.
static int64_t RemoteSize(Session *s, const char *name) {
  static char command[CommandSize];
  snprintf(command, sizeof command, "SIZE %s", name);
  if (Exchange(s, command) != 213) return -1;
  return strtoll(ReplyText(s) + 4, nullptr, 10);
}

// The local file of get and put: the last part of the name, so that a
// RETR of a/b.txt saves b.txt here.
static const char *LocalName(const char *name) {
  const char *slash = strrchr(name, '/');
  return slash && slash[1] ? slash + 1 : name;
}

// A command whose answer comes on a data connection: open one unless a
// typed PASV already did, prepare the local file, send, move the data.
static void DataCommand(Session *s, const char *command, DataUse use, const char *name) {
  s->xfer = Transfer();
  s->xfer.use = use;
  if (use != DataUse::Show) {
    if (!name || !*name) {
      fputs(MsgNeedName, stdout);
      return;
    }
    snprintf(s->xfer.name, sizeof s->xfer.name, "%s", LocalName(name));
    if (use == DataUse::Send) {
      s->xfer.file = open(name, O_RDONLY | O_CLOEXEC);
      struct stat st;
      if (s->xfer.file >= 0 && fstat(s->xfer.file, &st) == 0) s->xfer.size = st.st_size;
      if (s->xfer.file < 0) {
        printf(MsgCannotOpen, name, strerror(errno));
        return;
      }
    } else if (s->progress) {
      s->xfer.size = RemoteSize(s, name);
    }
  }
  if (!OpenData(s)) {
    fputs(MsgNoDataConnection, stdout);
  } else {
    SendCommand(s, command, use == DataUse::Show);
    ShowReplies(s, true);
    // A refusal leaves the data connection unused: it serves no later
    // command, whose own EPSV would open another.
    ToolClose(&s->data);
  }
  if (s->xfer.file >= 0) close(s->xfer.file);
  s->xfer.file = -1;
}

// Runs one typed line: the client's own words, the data commands, or a
// command sent as typed. False after QUIT.
static bool RunLine(Session *s, char *command) {
  static char built[CommandSize + 8];
  const char *arg = strchr(command, ' ');
  arg = arg ? arg + 1 : "";
  if (Is(command, "TLS") && !*arg) {
    StartTls(s);
  } else if (Is(command, "get")) {
    snprintf(built, sizeof built, "RETR %s", arg);
    DataCommand(s, built, DataUse::Save, arg);
  } else if (Is(command, "put") || Is(command, "STOR")) {
    snprintf(built, sizeof built, "STOR %s", LocalName(arg));
    DataCommand(s, built, DataUse::Send, arg);
  } else if (Is(command, "LIST") || Is(command, "NLST") || Is(command, "MLSD") ||
             Is(command, "RETR")) {
    DataCommand(s, command, DataUse::Show, nullptr);
  } else {
    int code = Exchange(s, command, true);
    if (Is(command, "QUIT")) return false;
    if (Is(command, "PASV") && code == 227) {
      // A typed PASV leaves the address to the user, as a way to try the
      // data connection by hand.
      char address[AddressSize];
      int data = -1;
      if (AskAndConnect(PromptDataAddress, false, &data, address) != 0) Finish(s, ExitDone);
      puts(data >= 0 ? MsgConnected : MsgNotConnected);
      if (data >= 0) {
        ToolClose(&s->data);
        s->data.fd = data;
      }
    }
  }
  return true;
}

int main(int argc, char **argv) {
  const char *name = ToolName(argv[0]);
  static Session s;
  bool tls = false;
  int at = 1;
  for (; at < argc && argv[at][0] == '-' && argv[at][1]; at++) {
    if (strcmp(argv[at], "--help") == 0) {
      printf(MsgUsage, name);
      return ExitDone;
    }
    if (strcmp(argv[at], "--version") == 0) {
      printf(MsgVersion, name, kToolsVersion);
      return ExitDone;
    }
    if (strcmp(argv[at], "-t") == 0) {
      tls = true;
    } else if (strcmp(argv[at], "-k") == 0) {
      s.insecure = true;
    } else {
      fprintf(stderr, MsgUsage, name);
      return ExitFailed;
    }
  }
  if (argc - at > 2 || (argc - at == 0 && at > 1 && !tls && !s.insecure)) {
    fprintf(stderr, MsgUsage, name);
    return ExitFailed;
  }
  IgnoreSigpipe();
  s.echo = !isatty(0);
  s.progress = isatty(1);
  if (at < argc) {
    s.lineMode = true;
    snprintf(s.host, sizeof s.host, "%s", argv[at]);
    int port = at + 1 < argc ? ParseInt(argv[at + 1]) : 21;
    s.control.fd = ConnectToServer(s.host, port);
    if (s.control.fd < 0) return ExitFailed;
    puts(MsgConnected);
  } else {
    if (AskAndConnect(PromptAddress, true, &s.control.fd, s.host) != 0) return ExitDone;
    if (s.control.fd < 0) {
      puts(MsgNotConnected);
      return ExitFailed;
    }
    puts(MsgConnected);
    fputs(MsgHowToQuit, stdout);
    fputs(MsgEnterCommand, stdout);
  }

  // The greeting is awaited with the socket non-blocking; later replies
  // are read with it blocking, until TLS makes it non-blocking for good.
  if (SetNonBlocking(s.control.fd) != 0) {
    fflush(stdout);
    fputs(MsgNonBlockingFailed, stderr);
    Finish(&s, ExitFailed);
  }
  ShowReplies(&s, false);
  int flags = fcntl(s.control.fd, F_GETFL);
  if (flags >= 0) fcntl(s.control.fd, F_SETFL, flags & ~O_NONBLOCK);
  if (tls) StartTls(&s);

  char command[CommandSize];
  for (;;) {
    fputs(s.lineMode ? (s.echo ? "" : PromptLine) : MarkCommand, stdout);
    if (InputString(command, CommandTyped) != 0) Finish(&s, ExitDone);
    ShowWaiting(&s);
    if (!RunLine(&s, command)) break;
  }
  Finish(&s, ExitDone);
}
