// A loopback listener that plays the server for the test clients: a thread
// accepts one connection and runs the test's script on it. Every wait is
// bounded, so a client that misbehaves fails the test instead of hanging it.
#pragma once
#include <functional>
#include <string>
#include <thread>

namespace peer {

// A listening socket on 127.0.0.1 with a port picked by the kernel.
class Listener {
 public:
  Listener();
  ~Listener();
  Listener(const Listener &) = delete;
  Listener &operator=(const Listener &) = delete;
  unsigned port() const { return port_; }
  // The next connection, or -1 when none came within the time.
  int Accept(double seconds = 10);

 private:
  int fd_ = -1;
  unsigned port_ = 0;
};

// One accepted connection as the script sees it.
class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket();
  Socket(const Socket &) = delete;
  Socket &operator=(const Socket &) = delete;
  bool Send(const std::string &bytes);
  // Bytes up to and including the first occurrence of `end`; what came
  // before the deadline (maybe "") otherwise.
  std::string ReadUntil(const std::string &end, double seconds = 10);
  // True when the client closed its side within the time.
  bool WaitClosed(double seconds = 10);
  // Ends the connection with a reset instead of an orderly close.
  void Reset();
  void Close();

 private:
  int fd_;
  std::string pending_;
};

// Runs `script` on the first connection accepted by its own listener.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::function<void(Socket &)> script);
  ~ScriptedPeer();
  unsigned port() const { return listener_.port(); }
  // Waits for the script to end; false when no client ever connected.
  bool Join();

 private:
  Listener listener_;
  std::function<void(Socket &)> script_;
  std::thread thread_;
  bool connected_ = false;
};

}  // namespace peer
