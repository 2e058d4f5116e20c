#include "scripted_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>

namespace peer {

namespace {
using Clock = std::chrono::steady_clock;

int MillisLeft(Clock::time_point end) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return ms < 0 ? 0 : (int)ms;
}

Clock::time_point Deadline(double seconds) {
  return Clock::now() + std::chrono::milliseconds((long long)(seconds * 1000));
}
}  // namespace

Listener::Listener() {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sin;
  if (fd_ < 0 || bind(fd_, (sockaddr *)&sin, sizeof sin) != 0 || listen(fd_, 5) != 0 ||
      getsockname(fd_, (sockaddr *)&sin, &len) != 0)
    return;
  port_ = ntohs(sin.sin_port);
}

Listener::~Listener() {
  if (fd_ >= 0) close(fd_);
}

int Listener::Accept(double seconds) {
  pollfd p{fd_, POLLIN, 0};
  if (fd_ < 0 || poll(&p, 1, (int)(seconds * 1000)) != 1) return -1;
  return accept(fd_, nullptr, nullptr);
}

Socket::~Socket() { Close(); }

bool Socket::Send(const std::string &bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += (size_t)n;
  }
  return true;
}

std::string Socket::ReadUntil(const std::string &end, double seconds) {
  auto deadline = Deadline(seconds);
  for (;;) {
    size_t at = pending_.find(end);
    if (at != std::string::npos) {
      std::string got = pending_.substr(0, at + end.size());
      pending_.erase(0, at + end.size());
      return got;
    }
    pollfd p{fd_, POLLIN, 0};
    char buf[4096];
    ssize_t n = -1;
    if (fd_ >= 0 && poll(&p, 1, MillisLeft(deadline)) == 1) n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
      std::string got;
      got.swap(pending_);
      return got;
    }
    pending_.append(buf, (size_t)n);
  }
}

bool Socket::WaitClosed(double seconds) {
  auto deadline = Deadline(seconds);
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    if (fd_ < 0 || poll(&p, 1, MillisLeft(deadline)) != 1) return false;
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return true;
    pending_.append(buf, (size_t)n);
  }
}

void Socket::Reset() {
  if (fd_ < 0) return;
  linger l{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  Close();
}

void Socket::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

ScriptedPeer::ScriptedPeer(std::function<void(Socket &)> script) : script_(std::move(script)) {
  signal(SIGPIPE, SIG_IGN);
  thread_ = std::thread([this] {
    int fd = listener_.Accept(20);
    if (fd < 0) return;
    connected_ = true;
    Socket s(fd);
    script_(s);
  });
}

ScriptedPeer::~ScriptedPeer() { Join(); }

bool ScriptedPeer::Join() {
  if (thread_.joinable()) thread_.join();
  return connected_;
}

}  // namespace peer
