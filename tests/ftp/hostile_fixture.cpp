#include "hostile_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

namespace {

bool PortFree(unsigned port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in sin = {};
  sin.sin_family = AF_INET;
  sin.sin_port = htons((uint16_t)port);
  sin.sin_addr.s_addr = htonl(INADDR_ANY);
  bool ok = bind(fd, (struct sockaddr *)&sin, sizeof sin) == 0;
  close(fd);
  return ok;
}

}  // namespace

bool StartQuietly(Zolf &z, const std::string &keys) {
  std::random_device seed;
  std::mt19937 pick(seed());
  unsigned dataPort = 0;
  for (int tries = 0; tries < 200 && dataPort == 0; tries++) {
    unsigned first = 12000 + pick() % 18000;
    bool free = true;
    for (unsigned p = first; p < first + 8 && free; p++) free = PortFree(p);
    if (free) dataPort = first;
  }
  if (dataPort == 0) return false;
  harness::WriteFile(z.dir / "zolf.ini", z.Ini(keys, dataPort));
  return z.server.Start(harness::Bin("zolf"), {}, z.dir.path(), z.port);
}
