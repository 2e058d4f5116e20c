// Small helpers shared by the tests that attack the server the way a
// hostile user or stranger would.
#pragma once
#include <string>

// A reply line without its line end, whichever the server uses.
inline std::string Text(const std::string &reply) {
  size_t n = reply.size();
  while (n > 0 && (reply[n - 1] == '\n' || reply[n - 1] == '\r')) n--;
  return reply.substr(0, n);
}
