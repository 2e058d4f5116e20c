#include "harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace harness {

namespace {
using Clock = std::chrono::steady_clock;

double Left(Clock::time_point end) {
  return std::chrono::duration<double>(end - Clock::now()).count();
}
Clock::time_point Deadline(double seconds) {
  return Clock::now() + std::chrono::microseconds((long long)(seconds * 1e6));
}
}  // namespace

std::string Bin(const std::string &name) { return std::string(BIN_DIR) + "/" + name; }

TempDir::TempDir() {
  char tmpl[] = "/tmp/suite-test-XXXXXX";
  char *p = mkdtemp(tmpl);
  path_ = p ? p : "/tmp";
}

TempDir::~TempDir() {
  if (path_.rfind("/tmp/suite-test-", 0) == 0) {
    // Make everything removable (tests may drop write permissions).
    std::string cmd = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }
}

void WriteFile(const std::string &path, const std::string &content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(content.data(), (std::streamsize)content.size());
}

std::string ReadFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

void MakeDirs(const std::string &path) {
  std::string cmd = "mkdir -p '" + path + "'";
  if (system(cmd.c_str()) != 0) {
  }
}

// A port nobody holds on either family, taken from 10000..19999: below the
// passive ports of ListenPortsFor and below the range the kernel hands to
// outgoing connections. A port it gives for bind(0) comes from that outgoing
// range, where the thousands of client sockets a load test leaves waiting
// can take it again before the server under test binds it.
unsigned FreePort() {
  static unsigned seed = (unsigned)getpid() * 2654435761u ^
                         (unsigned)Clock::now().time_since_epoch().count();
  for (int attempt = 0; attempt < 500; attempt++) {
    seed = seed * 1103515245u + 12345u;
    unsigned port = 10000 + (seed >> 8) % 10000;
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    bool six = fd >= 0;
    if (six) {
      int off = 0;
      setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
      sockaddr_in6 sin6{};
      sin6.sin6_family = AF_INET6;
      sin6.sin6_addr = in6addr_any;
      sin6.sin6_port = htons((uint16_t)port);
      bool ok = bind(fd, (sockaddr *)&sin6, sizeof sin6) == 0;
      close(fd);
      if (!ok) continue;
    }
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = htons((uint16_t)port);
    bool ok = bind(fd, (sockaddr *)&sin, sizeof sin) == 0;
    close(fd);
    if (ok) return port;
  }
  ADD_FAILURE() << "no free port in 10000..19999";
  return 0;
}

bool Ipv6Loopback() {
  int fd = socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 sin6{};
  sin6.sin6_family = AF_INET6;
  sin6.sin6_addr = in6addr_loopback;
  bool ok = bind(fd, (sockaddr *)&sin6, sizeof sin6) == 0;
  close(fd);
  return ok;
}

unsigned ListenPortsFor(unsigned freePort) {
  // 12000 bases of 20000..31999 (the outgoing range starts at 32768);
  // two free ports held at once map to the same base only when they are a
  // multiple of 12000 apart.
  return 20000 + freePort % 12000;
}

bool WaitFor(const std::function<bool()> &cond, double seconds) {
  auto end = Deadline(seconds);
  for (;;) {
    if (cond()) return true;
    if (Left(end) <= 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

Process::~Process() {
  if (pid_ > 0 && !ended_) Stop(5);
  if (stdin_ >= 0) close(stdin_);
}

bool Process::Start(const std::vector<std::string> &argv, const std::string &cwd,
                    bool stdinPipe) {
  static int counter = 0;
  std::string base = cwd + "/.proc" + std::to_string(getpid()) + "_" + std::to_string(counter++);
  outPath_ = base + ".out";
  errPath_ = base + ".err";
  int in[2] = {-1, -1};
  if (stdinPipe && pipe(in) != 0) return false;
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(127);
    int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null = open("/dev/null", O_RDONLY);
    dup2(stdinPipe ? in[0] : null, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (int fd = 3; fd < 1024; fd++) close(fd);
    std::vector<char *> args;
    for (auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    signal(SIGPIPE, SIG_DFL);
    execv(args[0], args.data());
    _exit(127);
  }
  if (stdinPipe) {
    close(in[0]);
    stdin_ = in[1];
  }
  pid_ = pid;
  ended_ = false;
  return true;
}

void Process::WriteStdin(const std::string &text) {
  if (stdin_ < 0) return;
  signal(SIGPIPE, SIG_IGN);
  size_t off = 0;
  while (off < text.size()) {
    ssize_t n = write(stdin_, text.data() + off, text.size() - off);
    if (n <= 0) break;
    off += (size_t)n;
  }
}

void Process::CloseStdin() {
  if (stdin_ >= 0) close(stdin_);
  stdin_ = -1;
}

bool Process::Running() {
  if (pid_ <= 0 || ended_) return false;
  int st;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    ended_ = true;
    status_ = st;
    return false;
  }
  return true;
}

static int Decode(int st) {
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return -1;
}

int Process::Wait(double seconds) {
  if (pid_ <= 0) return -1;
  if (!ended_ && !WaitFor([&] { return !Running(); }, seconds)) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    ended_ = true;
    return -1000;
  }
  return Decode(status_);
}

int Process::Stop(double seconds) {
  if (pid_ <= 0) return -1;
  if (!ended_) kill(pid_, SIGTERM);
  return Wait(seconds);
}

std::string Process::Stdout() const { return ReadFile(outPath_); }
std::string Process::Stderr() const { return ReadFile(errPath_); }

Conn::~Conn() { Close(); }

Conn::Conn(Conn &&o) noexcept : fd_(o.fd_), eof_(o.eof_), buf_(std::move(o.buf_)) {
  o.fd_ = -1;
}

// "127.0.0.1" or "::1" (a text with a colon is IPv6) with the port.
static bool SocketAddress(const std::string &host, unsigned port, sockaddr_storage *out,
                          socklen_t *length) {
  if (host.find(':') != std::string::npos) {
    sockaddr_in6 *six = (sockaddr_in6 *)out;
    six->sin6_family = AF_INET6;
    six->sin6_port = htons((uint16_t)port);
    *length = sizeof *six;
    return inet_pton(AF_INET6, host.c_str(), &six->sin6_addr) == 1;
  }
  sockaddr_in *four = (sockaddr_in *)out;
  four->sin_family = AF_INET;
  four->sin_port = htons((uint16_t)port);
  *length = sizeof *four;
  return inet_aton(host.c_str(), &four->sin_addr) != 0;
}

bool Conn::Connect(unsigned port, const std::string &host, const std::string &from,
                   double seconds) {
  Close();
  signal(SIGPIPE, SIG_IGN);
  auto end = Deadline(seconds);
  sockaddr_storage to{}, local{};
  socklen_t length = 0;
  if (!SocketAddress(host, port, &to, &length)) return false;
  fd_ = socket(to.ss_family, SOCK_STREAM, 0);
  if (fd_ < 0) return false;
  if (!from.empty()) {
    socklen_t localLength = 0;
    if (!SocketAddress(from, 0, &local, &localLength) ||
        bind(fd_, (sockaddr *)&local, localLength) != 0) {
      Close();
      return false;
    }
  }
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  int r = connect(fd_, (sockaddr *)&to, length);
  if (r != 0 && errno != EINPROGRESS) {
    Close();
    return false;
  }
  if (r != 0) {
    pollfd p{fd_, POLLOUT, 0};
    int ms = (int)(Left(end) * 1000);
    if (poll(&p, 1, ms < 0 ? 0 : ms) != 1) {
      Close();
      return false;
    }
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      Close();
      return false;
    }
  }
  eof_ = false;
  buf_.clear();
  return true;
}

bool Conn::Send(const std::string &bytes) {
  if (fd_ < 0) return false;
  size_t off = 0;
  auto end = Deadline(10);
  while (off < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n > 0) {
      off += (size_t)n;
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{fd_, POLLOUT, 0};
      if (Left(end) <= 0) return false;
      poll(&p, 1, 50);
      continue;
    }
    return false;
  }
  return true;
}

bool Conn::Fill(double seconds) {
  if (fd_ < 0 || eof_) return false;
  pollfd p{fd_, POLLIN, 0};
  int ms = (int)(seconds * 1000);
  if (poll(&p, 1, ms < 0 ? 0 : ms) != 1) return false;
  char tmp[65536];
  ssize_t n = recv(fd_, tmp, sizeof tmp, 0);
  if (n <= 0) {
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    eof_ = true;
    return false;
  }
  buf_.append(tmp, (size_t)n);
  return true;
}

std::string Conn::ReadLine(double seconds) {
  auto end = Deadline(seconds);
  for (;;) {
    size_t nl = buf_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buf_.substr(0, nl + 1);
      buf_.erase(0, nl + 1);
      return line;
    }
    if (Left(end) <= 0 || !Fill(Left(end))) {
      if (Left(end) <= 0 || eof_) return "";
    }
  }
}

std::string Conn::ReadAll(double seconds) {
  auto end = Deadline(seconds);
  while (!eof_ && Left(end) > 0) Fill(Left(end));
  std::string all;
  all.swap(buf_);
  return all;
}

std::string Conn::ReadN(size_t n, double seconds) {
  auto end = Deadline(seconds);
  while (buf_.size() < n && !eof_ && Left(end) > 0) Fill(Left(end));
  size_t k = buf_.size() < n ? buf_.size() : n;
  std::string out = buf_.substr(0, k);
  buf_.erase(0, k);
  return out;
}

bool Conn::Closed(double seconds) {
  auto end = Deadline(seconds);
  while (!eof_ && Left(end) > 0) Fill(Left(end));
  return eof_;
}

void Conn::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void Conn::Reset() {
  if (fd_ < 0) return;
  linger l{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  Close();
}

bool PortListening(unsigned port) {
  char want[8];
  snprintf(want, sizeof want, ":%04X", port);
  // IPv6 listeners (a dual-stack "::" one too) stand in the second table.
  for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream f(table);
    std::string line;
    std::getline(f, line);
    while (std::getline(f, line)) {
      std::istringstream in(line);
      std::string slot, local, remote, state;
      in >> slot >> local >> remote >> state;
      if (state == "0A" && local.size() >= 5 && local.substr(local.size() - 5) == want)
        return true;
    }
  }
  return false;
}

int HoldLoopbackPort(unsigned port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in sin = {};
  sin.sin_family = AF_INET;
  sin.sin_port = htons((uint16_t)port);
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && bind(fd, (struct sockaddr *)&sin, sizeof sin) == 0 && listen(fd, 1) == 0)
    return fd;
  if (fd >= 0) close(fd);
  return -1;
}

bool Server::Start(const std::string &bin, const std::vector<std::string> &args,
                   const std::string &dir, unsigned port, double seconds) {
  std::vector<std::string> argv{bin};
  argv.insert(argv.end(), args.begin(), args.end());
  if (!proc.Start(argv, dir)) return false;
  // Watch the kernel's socket table instead of connecting, so that no probe
  // connection shows up in the server's logs or takes a session slot.
  bool up = WaitFor([&] { return !proc.Running() || PortListening(port); }, seconds);
  if (!up || !proc.Running()) {
    ADD_FAILURE_AT(__FILE__, __LINE__) << "server did not start\nstdout:\n" << proc.Stdout()
                                       << "\nstderr:\n" << proc.Stderr();
    return false;
  }
  return true;
}

std::string HaproxyBin() {
  // Debian installs it for root's PATH only.
  for (const char *path : {"/usr/sbin/haproxy", "/usr/bin/haproxy", "/usr/local/sbin/haproxy"})
    if (access(path, X_OK) == 0) return path;
  return "";
}

bool StartHaproxy(Server *s, const std::string &dir,
                  const std::vector<std::pair<unsigned, unsigned>> &routes,
                  const std::string &serverOptions) {
  std::string cfg =
      "global\n  maxconn 64\n"
      "defaults\n  mode tcp\n  timeout connect 5s\n  timeout client 30s\n"
      "  timeout server 30s\n";
  for (const auto &r : routes) {
    std::string front = std::to_string(r.first), back = std::to_string(r.second);
    cfg += "listen l" + front + "\n  bind 127.0.0.1:" + front + "\n  server s 127.0.0.1:" +
           back + " " + serverOptions + "\n";
  }
  WriteFile(dir + "/haproxy.cfg", cfg);
  if (!s->proc.Start({HaproxyBin(), "-db", "-f", dir + "/haproxy.cfg"}, dir)) return false;
  for (const auto &r : routes)
    if (!WaitFor([&] { return !s->proc.Running() || PortListening(r.first); }) ||
        !s->proc.Running()) {
      ADD_FAILURE() << "haproxy did not start\n" << s->proc.Stderr();
      return false;
    }
  return true;
}

std::string ProxyHeader(bool binary, const std::string &client, unsigned port) {
  bool v6 = client.find(':') != std::string::npos;
  if (!binary)
    return std::string("PROXY ") + (v6 ? "TCP6 " : "TCP4 ") + client + (v6 ? " ::1" : " 127.0.0.1") +
           " 51000 " + std::to_string(port) + "\r\n";
  if (!v6) {
    std::string h("\r\n\r\n\0\r\nQUIT\n\x21\x11\x00\x0c\0\0\0\0\x7f\0\0\x01\xc7\x38", 26);
    inet_pton(AF_INET, client.c_str(), &h[16]);
    return h + char(port >> 8) + char(port & 0xff);
  }
  std::string h("\r\n\r\n\0\r\nQUIT\n\x21\x21\x00\x24", 16);
  h += std::string(32, '\0');
  inet_pton(AF_INET6, client.c_str(), &h[16]);
  h[47] = 1;  // ::1
  return h + "\xc7\x38" + char(port >> 8) + char(port & 0xff);
}

int Run(const std::string &cmd, std::string *out, double seconds, bool mergeErr) {
  std::string full = "timeout -k 5 " + std::to_string((int)seconds) + " sh -c '" ;
  std::string escaped;
  for (char c : cmd) {
    if (c == '\'') escaped += "'\\''";
    else escaped += c;
  }
  full += escaped + "'" + (mergeErr ? " 2>&1" : "");
  FILE *p = popen(full.c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  int st = pclose(p);
  if (out) *out = text;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace harness
