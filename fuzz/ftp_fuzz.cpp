// FTP command lines through the dispatcher, the way the main loop runs
// them, against a scratch account tree made once per process:
//
//   <scratch>/root/      the account's root (files, subdirectories)
//   <scratch>/root2/     a sibling whose name extends the root's
//   <scratch>/outside/   a sibling holding a canary file
//
// One input is a sequence of command lines separated by CR LF, fed one by
// one into a single logged-in session (a client that waits for each reply).
// An input starting with '!' runs as a plainer account: no recursive RMD,
// no LIST permission (the empty listing), no quota.
//
// Checked after every line:
//   - exactly one reply was queued (the command log counts queued replies;
//     a second attempt, which the channel would drop, counts as a fault);
//   - the reply is "NNN text\r\n": three digits, a blank, CR LF at the end
//     and no other line end, or a multi-line reply ("NNN-" first, every
//     line ended by CR LF, the last one "NNN text"); the handler returned
//     its code (SIZE excepted, which has always returned 0), so the loop
//     ends the session on 221, 332 and 530 exactly when the client is told
//     so;
//   - the command log got exactly one line per received line and reply;
//   - cwd is a NUL-terminated "/.../" that never holds "/../" or "//";
//   - LIST, NLST and MLSD output (pumped to its end after a 150) is whole
//     CR LF lines;
//   - once the session is closed, no descriptor of it is left open.
// Paths: every path-taking call the server code makes in a watched stretch
// is checked against the root before it is made (path_watch.h, with the
// calls wrapped at link time) — the strongest check available, since it
// sees the real paths handlers build, not only their replies. After each
// input the canary siblings are compared with their fingerprint from the
// start (inode, size, times, link count of every entry) and the root must
// still be a directory.
// Data connections: the account has no PASV and no PORT permission (both
// answer 502), so nothing listens and nothing connects. RETR, STOR and
// APPE run up to their 150 and keep their file open as the loop would,
// waiting for a data connection that never comes; the session's close
// releases it.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command_channel.h"
#include "dispatcher.h"
#include "listing.h"
#include "path_watch.h"
#include "quota_records.h"
#include "rotating_log.h"
#include "scratch.h"
#include "server_records.h"
#include "sessions.h"
#include "transfers.h"

namespace {

// Replies queued, replies refused by the channel, received lines logged.
int queued = 0;
int refused = 0;
int logged = 0;

const size_t kMaxLines = 64;
const int kMaxListingCalls = 256;

struct World {
  std::string scratch, root, outside, sibling;
  std::string canaryPrint;
  Server server;
  Log log;
  char *logText = nullptr;
  size_t logSize = 0;
};
World *world;

void MakeTree(const std::string &root) {
  MakeDir(root);
  WriteBytes(root + "/file.txt", "hello\n");
  WriteBytes(root + "/empty.txt", "");
  WriteBytes(root + "/space name.txt", "a b\n");
  WriteBytes(root + "/UPPER.TXT", "UP\n");
  WriteBytes(root + "/big.bin", std::string(5000, 'b'));
  MakeDir(root + "/pub");
  WriteBytes(root + "/pub/readme.txt", "read me\n");
  WriteBytes(root + "/pub/.hidden", "h");
  MakeDir(root + "/pub/new");
  MakeDir(root + "/pub/deep");
  MakeDir(root + "/pub/deep/a");
  MakeDir(root + "/pub/deep/a/b");
  WriteBytes(root + "/pub/deep/a/b/c.txt", "c\n");
}

std::string CanaryPrint() {
  return Fingerprint(world->outside) + Fingerprint(world->sibling);
}

void SetUp() {
  world = new World;
  World &w = *world;
  w.scratch = MakeScratch("fzf");
  w.root = w.scratch + "/root";
  w.outside = w.scratch + "/outside";
  w.sibling = w.scratch + "/root2";
  MakeTree(w.root);
  MakeDir(w.outside);
  WriteBytes(w.outside + "/canary.bin", CanaryBytes(1, 256));
  MakeDir(w.outside + "/dir");
  MakeDir(w.sibling);
  WriteBytes(w.sibling + "/canary.bin", CanaryBytes(2, 256));
  w.canaryPrint = CanaryPrint();
  WatchAllow(w.root.c_str());

  memset(&w.server, 0, sizeof w.server);
  w.server.log = &w.log;
  w.server.listenSocket = -1;
  w.server.implicitSocket = -1;
  w.server.DataPort = 6000;
  w.server.MaxUsers = 10;
  snprintf(w.server.serverName, sizeof w.server.serverName, "ZOLF/1.7.1");
  snprintf(w.server.homeDirectory, sizeof w.server.homeDirectory, "%s",
           w.scratch.c_str());
  w.log.rotation = 1;
  w.log.stream = open_memstream(&w.logText, &w.logSize);
  Check(w.log.stream != nullptr, "open_memstream");
}

// A session logged in the way PASS leaves it, with the account's values
// set directly (no account file is read per input).
Request *LogIn(bool plain) {
  World &w = *world;
  Request *r = AddRequest(-1, &w.server, "127.0.0.1");
  Check(r != nullptr, "AddRequest");
  snprintf(r->login.userName, sizeof r->login.userName, "fuzz");
  r->login.passWord = "pw";
  r->login.root = w.root;
  for (int code = 0; code < kCommandCount; code++) r->login.permissions[code] = '1';
  r->login.permissions[kUSER] = '0';
  r->login.permissions[kPASS] = '0';
  r->login.permissions[kPASV] = '0';
  r->login.permissions[kPORT] = '0';
  if (plain) {
    r->login.permissions[kRMD_RECURSIVE] = '0';
    r->login.permissions[kLIST] = '0';
  } else {
    r->login.diskQuota = 1 << 20;
    GiveQuota(r, 1 << 20, 4096);  // tied to no file: nothing is written back
  }
  r->cmnd.lastCommand = kPASS;
  return r;
}

void Receive(Request *r, const std::string &bytes) {
  // One line at a time: what a line carried behind a bare line feed is not
  // run as a command of its own here.
  r->cmnd.pendingLength = 0;
  RecvFTPstring(r);
  HoldCommandSpace(r);
  size_t n = bytes.size() < kCmndBufferSize - 1 ? bytes.size() : kCmndBufferSize - 1;
  memcpy(r->cmnd.space->buffer, bytes.data(), n);
  r->cmnd.length = (int32_t)n;
}

std::string Shown(const char *bytes, size_t n) {
  std::string text;
  for (size_t i = 0; i < n; i++) {
    unsigned char ch = (unsigned char)bytes[i];
    char esc[8];
    if (ch < 0x20 || ch >= 0x7f) {
      snprintf(esc, sizeof esc, "\\x%02x", ch);
      text += esc;
    } else {
      text += (char)ch;
    }
  }
  return text;
}

std::string Shown(const std::string &text) { return Shown(text.data(), text.size()); }

void CheckReply(Request *r, const std::string &line, bool parsed, int code) {
  auto what = [&] {
    return "line: " + Shown(line) + "\nreply: " +
           Shown(r->cmnd.space->buffer, r->cmnd.length > 0 ? (size_t)r->cmnd.length : 0) +
           "\nreturned " + std::to_string(code);
  };
  Require(refused == 0, "a second reply for one command", what);
  Require(queued == 1, "exactly one reply per command line", what);
  Require(r->cmnd.state == kCmndQueued && r->cmnd.length > 0, "reply queued", what);
  size_t n = (size_t)r->cmnd.length;
  const char *reply = r->cmnd.space->buffer;
  Require(n >= 6 && n < kCmndBufferSize, "reply length", what);
  Require(reply[0] >= '1' && reply[0] <= '5' && reply[1] >= '0' && reply[1] <= '9' &&
              reply[2] >= '0' && reply[2] <= '9' && (reply[3] == ' ' || reply[3] == '-'),
          "reply begins with a 3-digit code and a blank or a dash", what);
  Require(reply[n - 2] == '\r' && reply[n - 1] == '\n', "reply ends with CR LF", what);
  size_t lastLine = 0;
  for (size_t i = 0; i < n; i++) {
    Require(reply[i] != '\0', "reply holds no NUL", what);
    if (reply[i] == '\r') Require(i + 1 < n && reply[i + 1] == '\n', "CR only before LF", what);
    if (reply[i] == '\n') {
      Require(reply[i - 1] == '\r', "LF only after CR", what);
      if (i + 1 < n) lastLine = i + 1;
    }
  }
  if (lastLine > 0) {
    Require(reply[3] == '-', "a multi-line reply begins with NNN-", what);
    Require(n - lastLine >= 6 && memcmp(reply + lastLine, reply, 3) == 0 &&
                reply[lastLine + 3] == ' ',
            "a multi-line reply ends with its code and a blank", what);
  } else {
    Require(reply[3] == ' ', "a one-line reply has a blank after its code", what);
  }
  int replyCode = (reply[0] - '0') * 100 + (reply[1] - '0') * 10 + (reply[2] - '0');
  if (!parsed) {
    Require(replyCode == 500, "a refused line gets 500", what);
    return;
  }
  bool sizeReply = code == 0 && replyCode == 213;
  Require(code == replyCode || sizeReply, "handler returns the code it queued", what);
}

void CheckLogLines(const std::string &line) {
  World &w = *world;
  fflush(w.log.stream);
  long end = ftell(w.log.stream);
  auto what = [&] {
    return "line: " + Shown(line) + "\nlog: " + Shown(w.logText, (size_t)end);
  };
  int lines = 0;
  for (long i = 0; i < end; i++) {
    unsigned char ch = (unsigned char)w.logText[i];
    if (ch == '\n')
      lines++;
    else
      Require(ch >= 0x20, "command log holds no control bytes", what);
  }
  Require(lines == queued + logged, "one log line per received line and reply", what);
}

void CheckCwd(const Request *r, const std::string &line) {
  const std::string &cwd = r->login.cwd;
  auto what = [&] { return "line: " + Shown(line) + "\ncwd: " + Shown(cwd); };
  Require(cwd.size() < kCwdSize && cwd.find('\0') == std::string::npos, "cwd bounded", what);
  size_t n = cwd.size();
  Require(n >= 1 && cwd[0] == '/', "cwd starts with '/'", what);
  Require(cwd[n - 1] == '/', "cwd ends with '/'", what);
  Require(cwd.find("/../") == std::string::npos, "cwd never holds /../", what);
  Require(cwd.find("//") == std::string::npos, "cwd never holds //", what);
}

// What the data connection would carry of a listing: whole CR LF lines.
void PumpListing(Request *r, const std::string &line) {
  for (int calls = 0; calls < kMaxListingCalls; calls++) {
    WatchBegin();
    int more = GenerateDirectoryListing(r);
    WatchEnd();
    size_t n = (size_t)r->xfer.length;
    Check(n <= kDataBufferSize, "listing fits the buffer");
    const char *b = r->xfer.bufs ? r->xfer.bufs->buffer : "";
    auto what = [&] { return "line: " + Shown(line) + "\nlisting: " + Shown(b, n); };
    if (n > 0)
      Require(n >= 2 && b[n - 2] == '\r' && b[n - 1] == '\n', "listing ends with CR LF", what);
    for (size_t i = 0; i < n; i++) {
      if (b[i] == '\n') Require(i > 0 && b[i - 1] == '\r', "listing line feeds follow CR", what);
      if (b[i] == '\r') Require(i + 1 < n && b[i + 1] == '\n', "listing CRs end lines", what);
    }
    r->xfer.length = 0;
    if (more != 0) break;
  }
  Check(r->xfer.dir == nullptr, "a listing pumped to its end closes the directory");
  // As the loop does when the transfer has ended.
  CloseDataConnection(r);
  CloseDataBuffer(r);
  CloseDataFile(r);
  DropTransfer(r);  // its buffers go back
}

// Runs one line; false when the session has ended.
bool RunLine(Request *r, const std::string &line) {
  World &w = *world;
  queued = refused = logged = 0;
  rewind(w.log.stream);
  Receive(r, line + "\r\n");
  int code = -1;
  WatchBegin();
  bool parsed = ParseFTPstring(r) == 0;
  if (parsed) {
    code = DoFTP(r);
    r->cmnd.lastCommand = TranslateCommand(r->cmnd.space->command);
  }
  WatchEnd();
  CheckReply(r, line, parsed, code);
  CheckLogLines(line);
  CheckCwd(r, line);
  int word = parsed ? TranslateCommand(r->cmnd.space->command) : -1;
  if (parsed && code == 150 && r->xfer.dir && (word == kLIST || word == kNLST || word == kMLSD))
    PumpListing(r, line);
  return !(parsed && (code == 221 || code == 332 || code == 530));
}

// The wrapping really reaches the server code: SIZE stats the file it names.
void SelfCheck() {
  Request *r = LogIn(false);
  uint64_t before = WatchChecked();
  Check(RunLine(r, "SIZE /file.txt"), "SIZE keeps the session");
  Check(WatchChecked() > before, "path watch sees the server's calls");
  Check(world->root + "/file.txt" == WatchLastPath(), "path watch saw SIZE's path",
        WatchLastPath());
  Check(std::string(r->cmnd.space->buffer, (size_t)r->cmnd.length) == "213 6\r\n", "SIZE reply",
        r->cmnd.space->buffer);
  CloseRequest(r);
  WatchTakeChanged();
}

}  // namespace

extern "C" {

// Counting wrappers (linked with --wrap) around the channel's queue and the
// command log. They are C++ functions, so the wrapped names are the mangled
// ones (see CMakeLists.txt); a changed signature shows up as a link error.
int __real__Z13SendFTPstringP7RequestPKc(Request *, const char *);
int __wrap__Z13SendFTPstringP7RequestPKc(Request *r, const char *text) {
  int result = __real__Z13SendFTPstringP7RequestPKc(r, text);
  if (result != 0) refused++;
  return result;
}
void __real__Z14LogQueuedReplyP7RequestPKc(Request *, const char *);
void __wrap__Z14LogQueuedReplyP7RequestPKc(Request *r, const char *text) {
  queued++;
  __real__Z14LogQueuedReplyP7RequestPKc(r, text);
}
void __real__Z15LogReceivedLineP7Requestb(Request *, bool);
void __wrap__Z15LogReceivedLineP7Requestb(Request *r, bool hasArgument) {
  logged++;
  __real__Z15LogReceivedLineP7Requestb(r, hasArgument);
}

int LLVMFuzzerInitialize(int *, char ***) {
  SetUp();
  SelfCheck();
  NoteOpenDescriptors();
  return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  NoteOpenDescriptors();
  World &w = *world;
  const char *text = (const char *)data;
  bool plain = size > 0 && text[0] == '!';
  if (plain) {
    text++;
    size--;
  }
  Request *r = LogIn(plain);
  size_t start = 0, lines = 0;
  while (start <= size && lines++ < kMaxLines) {
    const char *end = nullptr;
    for (size_t i = start; i + 1 < size; i++)
      if (text[i] == '\r' && text[i + 1] == '\n') {
        end = text + i;
        break;
      }
    size_t n = end ? (size_t)(end - text) - start : size - start;
    if (!end && n == 0) break;
    if (!RunLine(r, std::string(text + start, n))) break;
    if (!end) break;
    start += n + 2;
  }
  CloseRequest(r);
  Check(NoDescriptorsLeaked(), "the session's close releases every descriptor");

  struct stat st;
  Check(stat(w.root.c_str(), &st) == 0 && S_ISDIR(st.st_mode), "the root survives");
  Require(CanaryPrint() == w.canaryPrint, "canary siblings untouched",
          [] { return CanaryPrint(); });
  if (WatchTakeChanged()) {
    RemoveTree(w.root);
    MakeTree(w.root);
  }
  return 0;
}

}  // extern "C"
