// Test harness: run the real programs in temporary directories on free
// loopback ports and talk to them the way clients do. Every wait is bounded.
#pragma once
#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace harness {

// Path of a built program ("zolf", "mirt", ...).
std::string Bin(const std::string &name);

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

void WriteFile(const std::string &path, const std::string &content);
std::string ReadFile(const std::string &path);  // "" when missing
bool Exists(const std::string &path);
void MakeDirs(const std::string &path);

// A TCP port free on 127.0.0.1 and on IPv6 a moment ago, outside the
// range the system hands to outgoing connections.
unsigned FreePort();
// True when a socket can be bound to ::1 (IPv6 tests skip otherwise).
bool Ipv6Loopback();
// The first of a few ports for a server to listen on (an FTP server's data
// ports), derived from a free port of the same test but below the range
// the system hands out for outgoing connections: there no client's
// lingering (TIME_WAIT) connection can hold them, which on a busy machine
// made listening on them fail now and then.
unsigned ListenPortsFor(unsigned freePort);

// Polls `cond` every 10 ms until it holds or `seconds` pass.
bool WaitFor(const std::function<bool()> &cond, double seconds = 10);

// A started program with its standard output and error going to files.
class Process {
 public:
  Process() = default;
  ~Process();
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;
  // Starts argv[0] (a path) in `cwd`. stdin is /dev/null unless
  // `stdinPipe`, in which case WriteStdin feeds it.
  bool Start(const std::vector<std::string> &argv, const std::string &cwd,
             bool stdinPipe = false);
  void WriteStdin(const std::string &text);
  void CloseStdin();
  // Waits until the program ends (bounded); returns its exit status, or
  // -1000 when it did not end in time (it is then killed).
  int Wait(double seconds = 10);
  // SIGTERM, bounded wait, SIGKILL if needed. Returns the exit status.
  int Stop(double seconds = 10);
  bool Running();
  std::string Stdout() const;
  std::string Stderr() const;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  bool ended_ = false;
  int stdin_ = -1;
  std::string outPath_, errPath_;
};

// A blocking-with-deadline TCP client.
class Conn {
 public:
  Conn() = default;
  ~Conn();
  Conn(const Conn &) = delete;
  Conn &operator=(const Conn &) = delete;
  Conn(Conn &&o) noexcept;
  // Connects to host:port, optionally from a local address (e.g. 127.0.0.2);
  // both addresses IPv4 or both IPv6 ("::1").
  bool Connect(unsigned port, const std::string &host = "127.0.0.1",
               const std::string &from = "", double seconds = 5);
  bool Send(const std::string &bytes);
  // Up to and including the next '\n'; "" on time-out or end.
  std::string ReadLine(double seconds = 5);
  // Everything until the peer closes (or the deadline).
  std::string ReadAll(double seconds = 10);
  // Exactly n bytes unless the peer closes or the deadline passes first.
  std::string ReadN(size_t n, double seconds = 5);
  // True when the peer closed (read returns 0 or an error) within the time.
  bool Closed(double seconds = 5);
  void Close();
  // Resets the connection (SO_LINGER 0).
  void Reset();
  int fd() const { return fd_; }

 private:
  bool Fill(double seconds);  // reads more into buf_; false on end/time-out
  int fd_ = -1;
  bool eof_ = false;
  std::string buf_;
};

// True when some socket listens on the TCP port (from /proc/net/tcp and
// /proc/net/tcp6).
bool PortListening(unsigned port);

// Listens on 127.0.0.1:port so a server cannot take it; the descriptor, or
// -1 when the port is already in use.
int HoldLoopbackPort(unsigned port);

// A running server: starts it with its arguments in dir and waits until
// `port` accepts connections. Shows its output when a test fails.
struct Server {
  Process proc;
  bool Start(const std::string &bin, const std::vector<std::string> &args,
             const std::string &dir, unsigned port, double seconds = 10);
};

// The HAProxy program ("" when it is not installed: tests skip).
std::string HaproxyBin();
// Starts HAProxy in TCP mode from dir, forwarding each 127.0.0.1 front
// port to its back port on 127.0.0.1 with `serverOptions` on the server
// line ("send-proxy", "send-proxy-v2"); waits until every front listens.
bool StartHaproxy(Server *s, const std::string &dir,
                  const std::vector<std::pair<unsigned, unsigned>> &routes,
                  const std::string &serverOptions);

// The PROXY header a balancer sends for a TCP client at client:51000 (an
// IPv4 address), in text or binary form.
std::string ProxyHeader(bool binary, const std::string &client, unsigned port);

// Runs a shell command with a time limit; returns its exit status and
// fills out with standard output (stderr appended when mergeErr).
int Run(const std::string &cmd, std::string *out = nullptr,
        double seconds = 60, bool mergeErr = true);

}  // namespace harness
