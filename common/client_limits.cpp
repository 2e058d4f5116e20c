#include "client_limits.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/mman.h>

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

// Takes `n` connections of the key out of the table. A slot that empties
// has the later entries of its run moved back, so that every key stays
// reachable from its home slot without tombstones.
void Take(AddressTable &t, const ClientKey &key, uint32_t n) {
  uint32_t mask = t.size - 1;
  uint32_t i = Find(t, key);
  if (t.slots[i].count == 0) return;
  if (t.slots[i].count > n) {
    t.slots[i].count -= n;
    return;
  }
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

uint32_t Put(AddressTable &t, const ClientKey &key) {
  AddressCount &slot = t.slots[Find(t, key)];
  slot.key = key;
  return ++slot.count;
}

uint32_t TableSize(uint64_t connections) {
  uint32_t size = 16;
  while (size < 2 * connections) size *= 2;
  return size;
}

}  // namespace

// One mapping made before the workers are forked: this header, the total
// table, then one table per worker. The lock is robust: a worker killed
// while holding it leaves it to the next taker, not locked for ever.
struct SharedLimits {
  pthread_mutex_t lock;
  size_t bytes;
  int workers;
  uint32_t ownSize;
  AddressTable total;
  FailedLogins failed[kFailedLoginSlots];
};

namespace {

// Holds the shared lock for a scope; nothing in a single process.
class SharedLock {
 public:
  explicit SharedLock(SharedLimits *shared) : shared_(shared) {
    if (shared_ && pthread_mutex_lock(&shared_->lock) == EOWNERDEAD)
      pthread_mutex_consistent(&shared_->lock);
  }
  ~SharedLock() {
    if (shared_) pthread_mutex_unlock(&shared_->lock);
  }
  SharedLock(const SharedLock &) = delete;
  SharedLock &operator=(const SharedLock &) = delete;

 private:
  SharedLimits *shared_;
};

AddressCount *OwnSlots(SharedLimits *shared, int index) {
  char *base = reinterpret_cast<char *>(shared->total.slots);
  return reinterpret_cast<AddressCount *>(base) + shared->total.size +
         (size_t)index * shared->ownSize;
}

FailedLogins *FailedOf(ClientLimits *limits) {
  return limits->shared ? limits->shared->failed : limits->failed;
}
const FailedLogins *FailedOf(const ClientLimits *limits) {
  return limits->shared ? limits->shared->failed : limits->failed;
}

bool WindowOver(const FailedLogins &f, const LoginBudget &budget, int64_t nowMs) {
  return nowMs - f.windowStart >= budget.windowMs;
}

const FailedLogins *FindFailures(const ClientLimits *limits, const ClientKey &key) {
  const FailedLogins *failed = FailedOf(limits);
  for (int i = 0; i < kFailedLoginSlots; i++)
    if (failed[i].count > 0 && Same(failed[i].key, key)) return &failed[i];
  return nullptr;
}

// A slot for a new client: a free one, else one whose window is over, else
// the one whose window began first. Many addresses can thus push a client
// out of the table early; each of them still waits its second per failure.
FailedLogins *Claim(ClientLimits *limits, int64_t nowMs) {
  FailedLogins *failed = FailedOf(limits);
  FailedLogins *oldest = &failed[0];
  for (int i = 0; i < kFailedLoginSlots; i++) {
    FailedLogins &f = failed[i];
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
  // Worker processes count in the shared memory (JoinClientLimits).
  if (limits->shared) return 0;
  uint32_t size = TableSize(maxConnections);
  limits->held.slots = (AddressCount *)calloc(size, sizeof(AddressCount));
  if (!limits->held.slots) return -1;
  limits->held.size = size;
  return 0;
}

void FreeAddressTable(ClientLimits *limits) {
  if (!limits->shared) free(limits->held.slots);
  limits->held.slots = nullptr;
  limits->held.size = 0;
}

int ShareClientLimits(ClientLimits *limits, uint32_t maxConnections, int workers) {
  uint32_t totalSize = TableSize((uint64_t)maxConnections * (uint64_t)workers);
  uint32_t ownSize = TableSize(maxConnections);
  size_t header = (sizeof(SharedLimits) + 63) / 64 * 64;
  size_t bytes = header + ((size_t)totalSize + (size_t)ownSize * (size_t)workers) *
                              sizeof(AddressCount);
  // Untouched pages of the tables cost nothing until a client lands there.
  void *at = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (at == MAP_FAILED) return -1;
  SharedLimits *shared = static_cast<SharedLimits *>(at);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  int r = pthread_mutex_init(&shared->lock, &attr);
  pthread_mutexattr_destroy(&attr);
  if (r != 0) {
    munmap(at, bytes);
    return -1;
  }
  shared->bytes = bytes;
  shared->workers = workers;
  shared->ownSize = ownSize;
  shared->total.slots = reinterpret_cast<AddressCount *>(static_cast<char *>(at) + header);
  shared->total.size = totalSize;
  limits->shared = shared;
  return 0;
}

void JoinClientLimits(ClientLimits *limits, int index) {
  SharedLimits *shared = limits->shared;
  if (!shared || index < 0 || index >= shared->workers) return;
  AddressTable own{OwnSlots(shared, index), shared->ownSize};
  SharedLock lock(shared);
  for (uint32_t i = 0; i < own.size; i++)
    if (own.slots[i].count > 0) Take(shared->total, own.slots[i].key, own.slots[i].count);
  memset(own.slots, 0, own.size * sizeof(AddressCount));
  limits->held = own;
}

void UnshareClientLimits(ClientLimits *limits) {
  SharedLimits *shared = limits->shared;
  if (!shared) return;
  limits->held = AddressTable{nullptr, 0};
  limits->shared = nullptr;
  munmap(shared, shared->bytes);
}

uint32_t CountClient(ClientLimits *limits, const char *address) {
  AddressTable &t = limits->held;
  if (!t.slots) return 0;
  ClientKey key = ClientKeyOf(address);
  if (!limits->shared) return Put(t, key);
  SharedLock lock(limits->shared);
  Put(t, key);
  return Put(limits->shared->total, key);
}

void UncountClient(ClientLimits *limits, const char *address) {
  AddressTable &t = limits->held;
  if (!t.slots) return;
  ClientKey key = ClientKeyOf(address);
  SharedLock lock(limits->shared);
  // Only what this worker counted is given back from the total.
  if (limits->shared && t.slots[Find(t, key)].count > 0) Take(limits->shared->total, key, 1);
  Take(t, key, 1);
}

uint32_t ClientHeld(const ClientLimits *limits, const char *address) {
  const AddressTable &t = limits->held;
  if (!t.slots) return 0;
  ClientKey key = ClientKeyOf(address);
  if (!limits->shared) return t.slots[Find(t, key)].count;
  SharedLock lock(limits->shared);
  const AddressTable &total = limits->shared->total;
  return total.slots[Find(total, key)].count;
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
  SharedLock lock(limits->shared);
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
  ClientKey key = ClientKeyOf(address);
  SharedLock lock(limits->shared);
  const FailedLogins *f = FindFailures(limits, key);
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
