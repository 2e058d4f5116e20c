#include "data_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

unsigned PassivePort(const std::string &reply) {
  unsigned h[4], p1, p2;
  char tail[8] = "";
  if (sscanf(reply.c_str(), "227 Entering Passive Mode (%u,%u,%u,%u,%u,%u%7s", &h[0], &h[1],
             &h[2], &h[3], &p1, &p2, tail) != 7 ||
      std::string(tail) != ")." || reply.back() != '\n')
    return 0;
  return p1 * 256 + p2;
}

bool OpenPassive(harness::Conn &control, harness::Conn &data, std::string *reply,
                 const std::string &from) {
  std::string line = Cmd(control, "PASV");
  if (reply) *reply = line;
  unsigned port = PassivePort(line);
  return port != 0 && data.Connect(port, "127.0.0.1", from);
}

Transfer Download(harness::Conn &control, const std::string &command) {
  Transfer t;
  harness::Conn data;
  if (!OpenPassive(control, data, &t.start)) return t;
  t.start = Cmd(control, command);
  if (t.start.rfind("150 ", 0) != 0) return t;
  t.data = data.ReadAll(60);
  t.end = control.ReadLine(30);
  return t;
}

Transfer Upload(harness::Conn &control, const std::string &command, const std::string &bytes) {
  Transfer t;
  harness::Conn data;
  if (!OpenPassive(control, data, &t.start)) return t;
  t.start = Cmd(control, command);
  if (t.start.rfind("150 ", 0) != 0) return t;
  data.Send(bytes);
  data.Close();
  t.end = control.ReadLine(30);
  return t;
}

unsigned ExtendedPort(const std::string &reply) {
  unsigned port = 0;
  char tail[8] = "";
  if (sscanf(reply.c_str(), "229 Entering Extended Passive Mode (|||%u%7s", &port, tail) != 2 ||
      std::string(tail) != "|)")
    return 0;
  return port;
}

Transfer ExtendedDownload(harness::Conn &control, const std::string &command,
                          const std::string &host) {
  Transfer t;
  harness::Conn data;
  t.start = Cmd(control, "EPSV");
  unsigned port = ExtendedPort(t.start);
  if (port == 0 || !data.Connect(port, host)) return t;
  t.start = Cmd(control, command);
  if (t.start.rfind("150 ", 0) != 0) return t;
  t.data = data.ReadAll(20);
  t.end = control.ReadLine(10);
  return t;
}

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; i++) {
    x = x * 1664525u + 1013904223u;
    s[i] = (char)(x >> 24);
  }
  return s;
}

bool StartWithDataPort(Zolf &z, const std::string &keys, unsigned *dataPort) {
  z.port = harness::FreePort();
  *dataPort = harness::ListenPortsFor(z.port) + 40;
  harness::WriteFile(z.dir / "zolf.ini", z.Ini(keys, *dataPort));
  return z.server.Start(harness::Bin("zolf"), {}, z.dir.path(), z.port);
}

long CpuTicks(const harness::Process &proc) {
  std::ifstream in("/proc/" + std::to_string(proc.pid()) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Fields after the command name, which ends with the last ')'.
  size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; i++) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

ActiveListener::ActiveListener(bool ipv6) {
  if (ipv6) {
    fd_ = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 six{};
    six.sin6_family = AF_INET6;
    six.sin6_addr = in6addr_loopback;
    bind(fd_, (sockaddr *)&six, sizeof six);
    socklen_t len = sizeof six;
    getsockname(fd_, (sockaddr *)&six, &len);
    port_ = ntohs(six.sin6_port);
  } else {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, (sockaddr *)&sin, sizeof sin);
    socklen_t len = sizeof sin;
    getsockname(fd_, (sockaddr *)&sin, &len);
    port_ = ntohs(sin.sin_port);
  }
  listen(fd_, 4);
}

ActiveListener::~ActiveListener() {
  if (fd_ >= 0) close(fd_);
}

std::string ActiveListener::PortArgument() const {
  return "127,0,0,1," + std::to_string(port_ / 256) + "," + std::to_string(port_ % 256);
}

std::string ActiveListener::AcceptAndReadAll(double seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds((long)(seconds * 1000));
  auto left = [&] {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  end - std::chrono::steady_clock::now())
                  .count();
    return ms < 0 ? 0 : (int)ms;
  };
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, left()) != 1) return "<no connection>";
  int conn = accept(fd_, nullptr, nullptr);
  if (conn < 0) return "<accept failed>";
  std::string all;
  char buf[65536];
  for (;;) {
    pollfd q{conn, POLLIN, 0};
    if (poll(&q, 1, left()) != 1) break;
    ssize_t n = read(conn, buf, sizeof buf);
    if (n <= 0) break;
    all.append(buf, (size_t)n);
  }
  close(conn);
  return all;
}
