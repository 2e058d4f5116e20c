#include "client_limits.h"

#include <cstring>
#include <ctime>

#include "connections.h"
#include "http_server.h"
#include "password_guard.h"

namespace {

// A refused password is answered this much later: a guesser then tries
// one password per second and connection, not thousands.
const int64_t kFailedLoginDelayMs = 1000;

}  // namespace

int64_t NowMs() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

uint32_t DefaultMaxPerAddress(uint32_t maxConnections) {
  uint32_t quarter = maxConnections / 4;
  return quarter < 2 ? 2 : quarter;
}

bool OverAddressLimit(const HttpServer *s, const Connection *c) {
  uint32_t held = 0;
  for (const Connection *o = s->connections; o; o = o->next)
    if (strcmp(o->clientAddress, c->clientAddress) == 0) held++;
  return held > s->maxPerAddress;
}

void StartHeadDeadline(Connection *c) {
  int timeout = c->server->timeout;
  // Measured from the accept, whatever arrives meanwhile: a client sending
  // a byte now and then must not keep its place for ever.
  c->headDeadline = timeout > 0 ? NowMs() + (int64_t)timeout * 1000 : 0;
}

bool HoldFailedLogin(Connection *c) {
  if (c->status != 401 || c->failedLogin != '1') return false;
  int64_t now = NowMs();
  NoteFailedLogin(&c->server->guard, c->clientAddress, now);
  c->state = '2';
  c->replyAt = now + kFailedLoginDelayMs;
  return true;
}
