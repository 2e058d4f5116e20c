// Whole HTTP request heads through ParseRequest, ResolveRequest and BuildHeader, the way
// OnReadRequest runs them, against a scratch site made once per process
// (S is a short directory below /dev/shm or /tmp: its paths must fit the
// 31 characters of AddVirtual and AddHost values):
//
//   S/www  the main root ("/", with compressed variants beside some
//   files), S/v the virtual directory "/v/",
//   S/h1 and S/h2 two virtual hosts, S/home the start directory with
//   custom error pages in err/, S/out and S/wwwx canary files beside the
//   roots (S/wwwx shares the main root's name as a prefix).
//
// Every input goes to two servers read from generated mirt.ini files:
// A with virtual hosts, forbidden names with and without users, listings
// on and built-in error bodies; B without hosts, with listings off and
// ExtendedMessages=0 (custom error pages only).
//
// Checked for every request:
//   - ParseRequest returns the status it leaves in c->decision.status, and that
//     status (and the one BuildHeader settles on) is in the status table;
//   - the header block is well formed: "HTTP/1.0 <status text>\r\n" first,
//     then "Name: value" lines, every line ended by CR LF, no other CR, LF
//     or control byte anywhere, one empty line at the very end, its length
//     inside the 1024-byte block;
//   - a Content-length (and Content-Range) matches the bytes the body
//     would carry, and a body that is no file and no listing is a built-in
//     error page (the request head never goes out as a body);
//   - every path-taking call in ParseRequest, BuildHeader and the listing
//     lies under a configured root or the error-page directory (the
//     path watch, see path_watch.h); a file left open for sending is,
//     by the real path of its descriptor, below a root (or is the custom
//     error page of the status);
//   - no run of the canary's bytes is in the header or any body;
//   - the connection's end writes exactly one access line and leaves no
//     descriptor open.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config.h"
#include "connections.h"
#include "http_server.h"
#include "listing_page.h"
#include "path_watch.h"
#include "request_parser.h"
#include "resolve.h"
#include "response.h"
#include "rotating_log.h"
#include "scratch.h"
#include "status_text.h"

namespace {

const int kMaxListingRows = 512;

struct Site {
  HttpServer server;
  Log log;
  char *logText = nullptr;
  size_t logSize = 0;
};

struct World {
  std::string scratch, home;
  std::vector<std::string> roots;
  std::string canary;
  Site sites[2];
};
World *world;

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

void MakeSite(World &w) {
  const std::string &S = w.scratch;
  MakeDir(S + "/www");
  WriteBytes(S + "/www/index.htm", "<html>home</html>\n");
  WriteBytes(S + "/www/a.txt", "plain text\n");
  WriteBytes(S + "/www/page.HTM", "<p>upper</p>\n");
  WriteBytes(S + "/www/big.bin", std::string(5000, 'z'));
  // Compressed variants: two that may be sent, and one that leads out of
  // the root and never may.
  WriteBytes(S + "/www/a.txt.gz", "gzip of a\n");
  WriteBytes(S + "/www/index.htm.br", "br of home\n");
  if (symlink("../out/canary.bin", (S + "/www/big.bin.gz").c_str()) != 0) abort();
  WriteBytes(S + "/www/empty.txt", "");
  WriteBytes(S + "/www/sp ace.txt", "space\n");
  WriteBytes(S + "/www/deny.txt", "denied\n");
  WriteBytes(S + "/www/.htpasswd", "alice:secret\n");
  MakeDir(S + "/www/sub");
  WriteBytes(S + "/www/sub/c.txt", "c\n");
  WriteBytes(S + "/www/sub/priv.txt", "p\n");
  MakeDir(S + "/www/sub/inner");
  MakeDir(S + "/www/priv");
  WriteBytes(S + "/www/priv/s.txt", "secret\n");
  WriteBytes(S + "/www/priv/index.htm", "<p>private</p>\n");
  MakeDir(S + "/www/dir2");
  WriteBytes(S + "/www/dir2/index.html", "<p>two</p>\n");
  MakeDir(S + "/v");
  WriteBytes(S + "/v/v.txt", "virtual\n");
  MakeDir(S + "/v/idx");
  WriteBytes(S + "/v/idx/index.htm", "<p>v index</p>\n");
  MakeDir(S + "/h1");
  WriteBytes(S + "/h1/index.htm", "<p>host one</p>\n");
  WriteBytes(S + "/h1/h1.txt", "one\n");
  MakeDir(S + "/h2");
  WriteBytes(S + "/h2/h2.txt", "two\n");
  MakeDir(S + "/home");
  MakeDir(S + "/home/err");
  WriteBytes(S + "/home/err/err404.htm", "<p>custom 404</p>\n");
  WriteBytes(S + "/home/err/err403.htm", "<p>custom 403</p>\n");
  WriteBytes(S + "/home/err/err301.htm", "<p>custom 301</p>\n");
  MakeDir(S + "/out");
  WriteBytes(S + "/out/canary.bin", w.canary);
  MakeDir(S + "/wwwx");
  WriteBytes(S + "/wwwx/canary.bin", w.canary);
}

std::string IniA(const std::string &S) {
  return "Port=8080\nAddress=127.0.0.1\nExternIP=http://127.0.0.1:8080\n"
         "Timeout=30\nMaxConnections=10\nExtendedMessages=1\n"
         "DirectoryListing=1\nShowProtectedFiles=1\n"
         "AddType=.htm;text/html\nAddType=.txt;text/plain\n"
         "AddType=.bin;application/x-bin\n"
         "AddForbidden=priv;alice\nAddForbidden=deny\nAddForbidden=.ht\n"
         "AddForbidden=evil.example\n"
         "AddUser=alice;secret\nAddUser=bob;pw\n"
         "AddIndex=index.htm\nAddIndex=index.html\n"
         "AddHost=one.example;" + S + "/h1\n"
         "AddHost=two.example;" + S + "/h2\n"
         "AddHost=evil.example;" + S + "/h2\n"
         "AddHost=www.example;" + S + "/www\n"
         "AddVirtual=/v/;" + S + "/v\n"
         "AddVirtual=/;" + S + "/www\n";
}

std::string IniB(const std::string &S) {
  return "Port=8081\nAddress=127.0.0.1\nExternIP=http://localhost\n"
         "Timeout=30\nMaxConnections=10\nExtendedMessages=0\n"
         "DirectoryListing=0\n"
         "AddType=.htm;text/html\n"
         "AddForbidden=priv;bob\n"
         "AddUser=bob;pw\n"
         "AddIndex=index.htm\n"
         "AddVirtual=/v/;" + S + "/v/\n"
         "AddVirtual=/;" + S + "/www\n";
}

void Configure(Site &site, const std::string &iniPath, const std::string &home) {
  memset(&site.server, 0, sizeof site.server);
  Check(InitConfig(iniPath.c_str(), &site.server, &site.log) == 0, "InitConfig",
        iniPath);
  snprintf(site.server.homeDirectory, sizeof site.server.homeDirectory, "%s",
           home.c_str());
  site.log.rotation = 1;
  site.log.maxEntries = 0;
  site.log.maxAge = INT64_MAX;
  site.log.stream = open_memstream(&site.logText, &site.logSize);
  Check(site.log.stream != nullptr, "open_memstream");
}

void SetUp() {
  world = new World;
  World &w = *world;
  w.scratch = MakeScratch("fzh");
  w.home = w.scratch + "/home";
  w.canary = CanaryBytes(3, 256);
  MakeSite(w);
  for (const char *root : {"/www", "/v", "/h1", "/h2"}) {
    w.roots.push_back(w.scratch + root);
    WatchAllow((w.scratch + root).c_str());
  }
  WatchAllow((w.home + "/err").c_str());
  WriteBytes(w.home + "/a.ini", IniA(w.scratch));
  WriteBytes(w.home + "/b.ini", IniB(w.scratch));
  Configure(w.sites[0], w.home + "/a.ini", w.home);
  Configure(w.sites[1], w.home + "/b.ini", w.home);
}

bool UnderRoot(const char *path) {
  for (const std::string &root : world->roots)
    if (strncmp(path, root.c_str(), root.size()) == 0 && path[root.size()] == '/')
      return true;
  return false;
}

std::string HeaderValue(const std::string &header, const char *name) {
  std::string key = std::string("\r\n") + name + ": ";
  size_t at = header.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  return header.substr(at, header.find("\r\n", at) - at);
}

// `what` describes the request; it is only called when a check fails.
template <class What>
void CheckHeader(const Connection *c, What what) {
  Require(c->output.headerLength > 0 && c->output.headerLength < kHeaderSize, "header length", what);
  size_t n = (size_t)c->output.headerLength;
  const char *h = c->space->header;
  auto shown = [&] { return what() + "\nheader: " + Shown(h, n); };
  Require(strnlen(h, kHeaderSize) == n, "header length matches its text", shown);
  const char *text = StatusText(c->output.status);
  Require(text != nullptr, "final status is in the table", shown);
  // HTTP/1.1 to a client that spoke it, HTTP/1.0 otherwise.
  char statusLine[64];
  int lineLength = snprintf(statusLine, sizeof statusLine, "HTTP/1.0 %s\r\n", text);
  bool sameLine = strncmp(h, "HTTP/1.", 7) == 0 && (h[7] == '0' || h[7] == '1') &&
                  strncmp(h + 8, statusLine + 8, (size_t)lineLength - 8) == 0;
  Require(sameLine, "status line", shown);
  Require(n >= 4 && memcmp(h + n - 4, "\r\n\r\n", 4) == 0, "header ends with an empty line",
          shown);
  for (size_t i = 0; i < n; i++) {
    unsigned char ch = (unsigned char)h[i];
    if (ch == '\r')
      Require(i + 1 < n && h[i + 1] == '\n', "CR only before LF", shown);
    else if (ch == '\n')
      Require(i > 0 && h[i - 1] == '\r', "LF only after CR", shown);
    else
      Require(ch >= 0x20 && ch != 0x7f, "no control bytes in the header", shown);
  }
  // Every line after the status line is "Name: value"; the empty line
  // comes only at the end.
  for (size_t at = (size_t)lineLength; at < n - 2;) {
    const char *end = strstr(h + at, "\r\n");
    size_t name = strspn(h + at, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-");
    Require(name > 0 && h[at + name] == ':' && h[at + name + 1] == ' ',
            "header line is Name: value", shown);
    at = (size_t)(end - h) + 2;
  }
  Require(!HoldsCanaryRun(h, n, world->canary), "canary bytes in the header", shown);
}

// Reads what OnWriteResponse would send of the open file.
void AppendFileBody(Connection *c, std::string *body) {
  char piece[kBufferSize];
  int64_t left = c->output.fileLeft;
  for (;;) {
    size_t want = sizeof piece;
    if (left >= 0) {
      if (left == 0) break;
      if ((int64_t)want > left) want = (size_t)left;
    }
    ssize_t n = read(c->decision.file, piece, want);
    if (n <= 0) break;
    body->append(piece, (size_t)n);
    if (left > 0) left -= n;
  }
}

template <class What>
void CheckOpenFile(Connection *c, What what) {
  char link[64], real[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", c->decision.file);
  ssize_t n = readlink(link, real, sizeof real - 1);
  Require(n > 0, "descriptor path", what);
  real[n] = '\0';
  auto shown = [&] { return what() + "\nopen: " + real + "\nfileName: " + c->space->fileName; };
  if (c->output.fileLeft == -1) {
    char page[PATH_MAX];
    snprintf(page, sizeof page, "%s/err/err%d.htm", world->home.c_str(), c->decision.status);
    Require(strcmp(page, real) == 0, "only the status's own custom page is sent to its end",
            shown);
    return;
  }
  Require(UnderRoot(real), "a file sent lies under a root", shown);
  char resolved[PATH_MAX];
  Require(realpath(c->space->fileName, resolved) != nullptr && UnderRoot(resolved),
          "fileName lies under a root", shown);
}

template <class What>
void CheckBody(Connection *c, What what) {
  std::string body;
  if (c->output.bodyLength > 0) {
    Require(c->output.bodyLength < kBufferSize, "body fits the buffer", what);
    body.assign(c->output.body, (size_t)c->output.bodyLength);
    if (!c->decision.directory) {
      const char *text = StatusText(c->decision.status);
      size_t n = strlen(text);
      Require(body.compare(0, n, text) == 0 && body.size() > n && body[n] == '\n',
              "a body in the buffer is an error page",
              [&] { return what() + "\nbody: " + Shown(body.data(), body.size()); });
    }
  }
  if (c->decision.file >= 0) {
    CheckOpenFile(c, what);
    AppendFileBody(c, &body);
  }
  if (c->decision.directory) {
    WatchBegin();
    for (int rows = 0; rows < kMaxListingRows; rows++) {
      c->output.bodyLength = 0;
      if (NextListingRow(c) != 0) break;
      Require(c->output.bodyLength >= 0 && (size_t)c->output.bodyLength < kListingPageSize,
              "listing piece fits its page", what);
      body.append(c->output.body, (size_t)c->output.bodyLength);
    }
    WatchEnd();
  }
  Require(!HoldsCanaryRun(body.data(), body.size(), world->canary),
          "canary bytes in a body", what);
  std::string header(c->space->header, (size_t)c->output.headerLength);
  std::string length = HeaderValue(header, "Content-length");
  if (c->decision.directory || length.empty()) return;
  auto shown = [&] {
    return what() + "\nheader: " + Shown(header.data(), header.size()) +
           "\nbody bytes: " + std::to_string(body.size());
  };
  Require(length == std::to_string(body.size()), "Content-length is the body's length",
          shown);
  if (c->decision.status == 206) {
    std::string range = HeaderValue(header, "Content-Range");
    long long first = -1, last = -1;
    unsigned long long total = 0;
    Require(sscanf(range.c_str(), "bytes %lld-%lld/%llu", &first, &last, &total) == 3 &&
                first >= 0 && first <= last && (unsigned long long)last < total &&
                last - first + 1 == (long long)body.size(),
            "Content-Range matches the body", shown);
  }
}

// A connection that sent a byte leaves one access line; one that sent
// nothing (a browser's preconnect) leaves none.
template <class What>
void CheckAccessLine(Site &site, What what, bool sentBytes) {
  fflush(site.log.stream);
  long end = ftell(site.log.stream);
  auto shown = [&] { return what() + "\nlog: " + Shown(site.logText, (size_t)end); };
  int lines = 0;
  for (long i = 0; i < end; i++) {
    unsigned char ch = (unsigned char)site.logText[i];
    if (ch == '\n')
      lines++;
    else
      Require(ch >= 0x20 && ch != 0x7f, "access line holds no control bytes", shown);
  }
  Require(sentBytes ? lines == 1 && end > 0 && site.logText[end - 1] == '\n' : end == 0,
          "one access line per connection that sent a byte", shown);
}

void RunRequest(Site &site, const uint8_t *data, size_t size) {
  HttpServer *s = &site.server;
  rewind(site.log.stream);
  Connection *c = AddConnection(-1, s, "127.0.0.1");
  Check(c != nullptr, "AddConnection");
  s->clients++;
  Check(LendSpace(c) == 0, "LendSpace");
  size_t n = size < (size_t)kHeadSize ? size : (size_t)kHeadSize;
  memcpy(c->space->head, data, n);
  c->space->head[n] = '\0';
  c->request.received = (int32_t)n;
  c->request.bytesReceived = n;
  auto what = [=] { return "request: " + Shown((const char *)data, n); };
  // As OnReadRequest: the head is parsed once it ends with an empty line
  // or fills the buffer; before that the server goes on waiting.
  if (HeadComplete(c->space->head, n)) {
    c->state = ConnState::kResponding;
    WatchBegin();
    c->request.headLength = (int32_t)HeadLength(c->space->head, n);
    ParseRequest(&c->request, c->space->head, s->hosts != nullptr);
    ResolveRequest(c, false);
    WatchEnd();
    int status = c->decision.status;
    auto statuses = [&] { return what() + "\ndecided " + std::to_string(status); };
    Require(StatusText(status) != nullptr, "status is in the table", statuses);
    WatchBegin();
    BuildHeader(c);
    WatchEnd();
    CheckHeader(c, what);
    CheckBody(c, what);
    if (strcmp(c->request.method, "HEAD") == 0) {
      CloseFiles(c);
      c->output.bodyLength = 0;
    }
  }
  EndConnection(c);
  Require(NoDescriptorsLeaked(), "the connection's end releases every descriptor", what);
  CheckAccessLine(site, what, n > 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  SetUp();
  // The wrapping really reaches the server code: a GET of a file opens it.
  uint64_t before = WatchChecked();
  const char get[] = "GET /a.txt HTTP/1.0\r\n\r\n";
  NoteOpenDescriptors();
  RunRequest(world->sites[0], (const uint8_t *)get, sizeof get - 1);
  Check(WatchChecked() > before, "path watch sees the server's calls");
  // The last look may be for a compressed variant beside it.
  Check(std::string(WatchLastPath()).rfind(world->scratch + "/www/a.txt", 0) == 0,
        "path watch saw the GET", WatchLastPath());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  NoteOpenDescriptors();
  for (Site &site : world->sites) RunRequest(site, data, size);
  return 0;
}
