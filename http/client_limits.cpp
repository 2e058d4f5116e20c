#include "client_limits.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

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

struct AddressCount {
  char address[kAddressTextSize];  // a full IPv6 text fits
  uint32_t count;  // 0: the slot is free
};

namespace {

uint32_t Hash(const char *text) {
  uint32_t h = 2166136261u;
  for (; *text; text++) h = (h ^ (unsigned char)*text) * 16777619u;
  return h;
}

// The slot holding `address`, or the free slot where it would go.
uint32_t Find(const HttpServer *s, const char *address) {
  uint32_t mask = s->addressSlots - 1;
  uint32_t i = Hash(address) & mask;
  while (s->addressCounts[i].count != 0 &&
         strcmp(s->addressCounts[i].address, address) != 0)
    i = (i + 1) & mask;
  return i;
}

}  // namespace

int InitAddressCounts(HttpServer *s) {
  uint32_t slots = 16;
  while (slots < 2 * (uint64_t)s->maxConnections) slots *= 2;
  s->addressCounts = (AddressCount *)calloc(slots, sizeof(AddressCount));
  if (!s->addressCounts) return -1;
  s->addressSlots = slots;
  return 0;
}

void FreeAddressCounts(HttpServer *s) {
  free(s->addressCounts);
  s->addressCounts = nullptr;
  s->addressSlots = 0;
}

bool OverAddressLimit(HttpServer *s, Connection *c) {
  if (!s->addressCounts) {
    uint32_t held = 0;
    for (const Connection *o = s->connections; o; o = o->next)
      if (strcmp(o->clientAddress, c->clientAddress) == 0) held++;
    return held > s->maxPerAddress;
  }
  AddressCount &slot = s->addressCounts[Find(s, c->clientAddress)];
  if (slot.count == 0)
    snprintf(slot.address, sizeof slot.address, "%s", c->clientAddress);
  slot.count++;
  c->counted = '1';
  return slot.count > s->maxPerAddress;
}

void UncountAddress(HttpServer *s, Connection *c) {
  if (c->counted != '1' || !s->addressCounts) return;
  c->counted = '0';
  uint32_t mask = s->addressSlots - 1;
  uint32_t i = Find(s, c->clientAddress);
  if (s->addressCounts[i].count == 0) return;
  if (--s->addressCounts[i].count > 0) return;
  // The slot empties: later entries of its run move back, so that every
  // address stays reachable from its home slot without tombstones.
  uint32_t j = i;
  for (;;) {
    j = (j + 1) & mask;
    AddressCount &next = s->addressCounts[j];
    if (next.count == 0) break;
    uint32_t home = Hash(next.address) & mask;
    bool movable = i <= j ? (home <= i || home > j) : (home <= i && home > j);
    if (movable) {
      s->addressCounts[i] = next;
      i = j;
    }
  }
  s->addressCounts[i].count = 0;
  s->addressCounts[i].address[0] = '\0';
}

void StartHeadDeadline(Connection *c) {
  int timeout = c->server->timeout;
  // Measured from the accept, whatever arrives meanwhile: a client sending
  // a byte now and then must not keep its place for ever.
  c->deadlines.headDeadline = timeout > 0 ? NowMs() + (int64_t)timeout * 1000 : 0;
}

bool HoldFailedLogin(Connection *c) {
  if (c->output.status != 401 || c->decision.failedLogin != '1') return false;
  int64_t now = NowMs();
  NoteFailedLogin(&c->server->guard, c->clientAddress, now);
  c->state = ConnState::kHolding;
  c->deadlines.replyAt = now + kFailedLoginDelayMs;
  return true;
}
