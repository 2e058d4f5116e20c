// Small helpers shared by the tests that attack the server the way a
// hostile user or stranger would.
#pragma once
#include <string>

#include "zolf_fixture.h"

// A reply line without its line end, whichever the server uses.
inline std::string Text(const std::string &reply) {
  size_t n = reply.size();
  while (n > 0 && (reply[n - 1] == '\n' || reply[n - 1] == '\r')) n--;
  return reply.substr(0, n);
}

// Starts zolf with passive ports below the range the kernel picks client
// ports from: a machine with many connections in TIME_WAIT holds ports of
// that range, and a passive listener could then not bind its own.
bool StartQuietly(Zolf &z, const std::string &keys = "MaxUsers=4\nTimeoutTime=2\n");
