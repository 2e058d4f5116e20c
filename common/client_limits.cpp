#include "client_limits.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clock.h"
#include "event_loop.h"

namespace {

uint32_t Hash(const ClientKey &key) {
  uint32_t h = 2166136261u;
  for (unsigned char b : key.bytes) h = (h ^ b) * 16777619u;
  return h;
}

bool Same(const ClientKey &a, const ClientKey &b) {
  return memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
}

// The slot holding `key`, or the free slot where it would go.
uint32_t Find(const AddressTable &t, const ClientKey &key) {
  uint32_t mask = t.size - 1;
  uint32_t i = Hash(key) & mask;
  while (t.slots[i].count != 0 && !Same(t.slots[i].key, key)) i = (i + 1) & mask;
  return i;
}

bool WindowOver(const FailedLogins &f, const LoginBudget &budget, int64_t nowMs) {
  return nowMs - f.windowStart >= budget.windowMs;
}

const FailedLogins *FindFailures(const ClientLimits *limits, const ClientKey &key) {
  for (const FailedLogins &f : limits->failed)
    if (f.count > 0 && Same(f.key, key)) return &f;
  return nullptr;
}

// A slot for a new client: a free one, else one whose window is over, else
// the one whose window began first. Many addresses can thus push a client
// out of the table early; each of them still waits its second per failure.
FailedLogins *Claim(ClientLimits *limits, int64_t nowMs) {
  FailedLogins *oldest = &limits->failed[0];
  for (FailedLogins &f : limits->failed) {
    if (f.count == 0 || WindowOver(f, limits->budget, nowMs)) return &f;
    if (f.windowStart < oldest->windowStart) oldest = &f;
  }
  return oldest;
}

void OnRestOver(EventLoop *, int64_t, void *record) {
  ClientLimits *limits = static_cast<ClientLimits *>(record);
  limits->resting = false;
  if (limits->rested) limits->rested(limits->restedRecord);
}

}  // namespace

ClientKey ClientKeyOf(const char *address) {
  ClientKey key;
  memset(&key, 0, sizeof key);
  struct in_addr v4;
  if (inet_pton(AF_INET, address, &v4) == 1) {
    key.bytes[10] = key.bytes[11] = 0xff;
    memcpy(key.bytes + 12, &v4, 4);
    return key;
  }
  if (inet_pton(AF_INET6, address, key.bytes) == 1) {
    // One network hands its hosts a whole /64: counted apart, each of its
    // addresses would be a fresh client with fresh budgets. A mapped IPv4
    // address stays one address.
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (memcmp(key.bytes, kMapped, sizeof kMapped) != 0) memset(key.bytes + 8, 0, 8);
    return key;
  }
  // Two FNV-1a hashes of the text behind a multicast prefix no client
  // address has.
  uint64_t a = 14695981039346656037ull, b = 1099511628211ull;
  for (const char *p = address; *p; p++) {
    a = (a ^ (unsigned char)*p) * 1099511628211ull;
    b = (b ^ (unsigned char)*p) * 14029467366897019727ull;
  }
  key.bytes[0] = key.bytes[1] = 0xff;
  memcpy(key.bytes + 2, &a, 8);
  memcpy(key.bytes + 10, &b, 6);
  return key;
}

uint32_t DefaultMaxPerAddress(uint32_t maxConnections, uint32_t least) {
  uint32_t quarter = maxConnections / 4;
  if (quarter < least) quarter = least;
  return quarter > maxConnections ? maxConnections : quarter;
}

int InitAddressTable(ClientLimits *limits, uint32_t maxConnections) {
  uint32_t size = 16;
  while (size < 2 * (uint64_t)maxConnections) size *= 2;
  limits->held.slots = (AddressCount *)calloc(size, sizeof(AddressCount));
  if (!limits->held.slots) return -1;
  limits->held.size = size;
  return 0;
}

void FreeAddressTable(ClientLimits *limits) {
  free(limits->held.slots);
  limits->held.slots = nullptr;
  limits->held.size = 0;
}

uint32_t CountClient(ClientLimits *limits, const char *address) {
  AddressTable &t = limits->held;
  if (!t.slots) return 0;
  ClientKey key = ClientKeyOf(address);
  AddressCount &slot = t.slots[Find(t, key)];
  slot.key = key;
  return ++slot.count;
}

void UncountClient(ClientLimits *limits, const char *address) {
  AddressTable &t = limits->held;
  if (!t.slots) return;
  uint32_t mask = t.size - 1;
  uint32_t i = Find(t, ClientKeyOf(address));
  if (t.slots[i].count == 0) return;
  if (--t.slots[i].count > 0) return;
  // The slot empties: later entries of its run move back, so that every
  // key stays reachable from its home slot without tombstones.
  uint32_t j = i;
  for (;;) {
    j = (j + 1) & mask;
    AddressCount &next = t.slots[j];
    if (next.count == 0) break;
    uint32_t home = Hash(next.key) & mask;
    bool movable = i <= j ? (home <= i || home > j) : (home <= i && home > j);
    if (movable) {
      t.slots[i] = next;
      i = j;
    }
  }
  t.slots[i].count = 0;
}

uint32_t ClientHeld(const ClientLimits *limits, const char *address) {
  const AddressTable &t = limits->held;
  if (!t.slots) return 0;
  return t.slots[Find(t, ClientKeyOf(address))].count;
}

uint32_t GuessOf(const char *user, const char *password) {
  uint32_t h = 2166136261u;
  for (const char *p = user; *p; p++) h = (h ^ (unsigned char)*p) * 16777619u;
  h = (h ^ 0xffu) * 16777619u;  // the border: "ab"+"c" is not "a"+"bc"
  for (const char *p = password; *p; p++) h = (h ^ (unsigned char)*p) * 16777619u;
  return h ? h : 1;
}

void NoteFailedLogin(ClientLimits *limits, const char *address, int64_t nowMs,
                     uint32_t guess) {
  ClientKey key = ClientKeyOf(address);
  FailedLogins *f = const_cast<FailedLogins *>(FindFailures(limits, key));
  if (!f || WindowOver(*f, limits->budget, nowMs)) {
    if (!f) f = Claim(limits, nowMs);
    f->key = key;
    f->windowStart = nowMs;
    f->count = 0;
    f->lastGuess = 0;
  } else if (guess != 0 && guess == f->lastGuess) {
    return;
  }
  f->lastGuess = guess;
  if (f->count < limits->budget.failures) f->count++;
}

bool LockedOut(const ClientLimits *limits, const char *address, int64_t nowMs) {
  const FailedLogins *f = FindFailures(limits, ClientKeyOf(address));
  return f && f->count >= limits->budget.failures &&
         !WindowOver(*f, limits->budget, nowMs);
}

int64_t HoldRefusal(ClientLimits *limits, const char *address, uint32_t guess) {
  int64_t now = NowMs();
  NoteFailedLogin(limits, address, now, guess);
  return now + kFailedLoginDelayMs;
}

bool ShortOfDescriptors(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

int RestListener(EventLoop *loop, ClientLimits *limits) {
  if (limits->resting) return 0;
  if (!loop || AddTimer(loop, kAcceptRestMs, OnRestOver, limits) <= 0) return -1;
  limits->resting = true;
  return 0;
}

uint32_t ReloadConnectionLimit(ClientLimits *limits, uint32_t wanted, uint32_t room,
                               uint32_t perAddress, const char *tooHigh) {
  uint32_t most = wanted;
  if (most > room) {
    most = room;
    fprintf(stderr, tooHigh, wanted, most);
  }
  limits->maxPerAddress = perAddress < most ? perAddress : most;
  return most;
}
