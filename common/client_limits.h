// What one client may hold of a server, written once for both: a share of
// the connections per address, a budget of failed logins per window, the
// pause before a refused login is answered, and the rest a listener takes
// when accept() finds no descriptor. Each server keeps one ClientLimits in
// its own record and sets its own numbers in it.
#pragma once
#include <cstdint>

#include "clock.h"  // the time LockedOut and HoldRefusal work in

struct EventLoop;

// The form a client address is counted under. Every limit below looks a
// client up through ClientKeyOf only, so how addresses are grouped (IPv4
// per address, IPv6 per /64) is decided in that one place.
struct ClientKey {
  unsigned char bytes[16];  // IPv4 as ::ffff:a.b.c.d, IPv6 its /64 prefix
};
// The key of a printed address of either family. A text that is no
// address (none reaches a server; tests may use one) gets a key of its own
// hashed from the text.
ClientKey ClientKeyOf(const char *address);

// MaxPerAddress when the key is absent or 0: a quarter of the server's
// connections, at least `least` (browsers open six connections to a host,
// download tools several), and never above the connections themselves.
uint32_t DefaultMaxPerAddress(uint32_t maxConnections, uint32_t least);

// Connections held per client, a hash table of `slots` entries (a power of
// two, at least twice the server's connections, so it is never full).
struct AddressCount {
  ClientKey key;
  uint32_t count;  // 0: the slot is free
};
struct AddressTable {
  AddressCount *slots;
  uint32_t size;
};

// Failed logins of one client within its window.
struct FailedLogins {
  ClientKey key;
  int64_t windowStart;  // NowMs of the first failure of the window
  int32_t count;        // failures since windowStart; 0: the slot is free
  uint32_t lastGuess;   // GuessOf the latest failure (0: not known)
};
constexpr int kFailedLoginSlots = 256;

// A server's failed-login budget: `failures` wrong logins within `windowMs`
// of the first of them, and the client is turned away until that window
// is over.
struct LoginBudget {
  int32_t failures;
  int64_t windowMs;
};

// The counts and failed logins of a server run as several worker
// processes, in memory they all share (see ShareClientLimits).
struct SharedLimits;

struct ClientLimits {
  uint32_t maxPerAddress;  // connections one client may hold
  LoginBudget budget;
  // Empty until InitAddressTable (no loop: none); with `shared`, this
  // worker's own counts, which lie in the shared memory.
  AddressTable held;
  FailedLogins failed[kFailedLoginSlots];  // unused with `shared`
  SharedLimits *shared;    // null: one process, nothing shared
  // The listener rests after accept() ran out of descriptors: it is left
  // unwatched until the rest's timer clears this and calls `rested` (when
  // given) with `restedRecord`.
  bool resting;
  void (*rested)(void *record);
  void *restedRecord;
};

// A reloaded connection limit: the loop and the table were made for the
// starting one (`room`), so a higher `wanted` is kept to it until a
// restart, said with `tooHigh` (a format taking wanted, then room). The
// per-address cap becomes `perAddress`, never above the limit. Returns the
// limit in force.
uint32_t ReloadConnectionLimit(ClientLimits *limits, uint32_t wanted, uint32_t room,
                               uint32_t perAddress, const char *tooHigh);

// The table for a server of `maxConnections`; 0, or -1 when out of memory.
int InitAddressTable(ClientLimits *limits, uint32_t maxConnections);
void FreeAddressTable(ClientLimits *limits);
// Several worker processes: before they are forked, the memory they will
// share for `workers` processes of `maxConnections` each, holding the total
// per address and each worker's own counts beside it, and the failed
// logins. Every call below then takes a lock the processes share. 0, or -1
// when the memory could not be had.
int ShareClientLimits(ClientLimits *limits, uint32_t maxConnections, int workers);
// In worker `index` once forked: its counts start from nothing. A worker
// of that index that ended without giving back its connections (killed)
// has them taken out of the totals first.
void JoinClientLimits(ClientLimits *limits, int index);
// Gives the shared memory back (the master, at its end).
void UnshareClientLimits(ClientLimits *limits);

// Counts one more connection of the client; the connections it holds now,
// this one included (in every worker process). Without a table nothing is
// counted and 0 is returned.
uint32_t CountClient(ClientLimits *limits, const char *address);
// Takes one connection of the client out of its count.
void UncountClient(ClientLimits *limits, const char *address);
// The connections the client holds (0 without a table).
uint32_t ClientHeld(const ClientLimits *limits, const char *address);

// A short digest of a refused user and password (never 0). The same wrong
// pair sent again, as clients do on their own (a browser for every image of
// a page, an FTP client that reconnects), is one guess, not many.
uint32_t GuessOf(const char *user, const char *password);
// A login of the client failed at nowMs (NowMs) with `guess` (GuessOf, or 0
// when not known: then it always counts). A guess equal to the client's
// previous one within the window is not counted again.
void NoteFailedLogin(ClientLimits *limits, const char *address, int64_t nowMs,
                     uint32_t guess = 0);
// True while the client has used up its budget of the current window.
bool LockedOut(const ClientLimits *limits, const char *address, int64_t nowMs);

// A refused login is answered this much later: a guesser then tries one
// password per second and connection, not thousands.
constexpr int64_t kFailedLoginDelayMs = 1000;
// Charges the client a failed login now and returns when (NowMs) the
// refusal may go.
int64_t HoldRefusal(ClientLimits *limits, const char *address, uint32_t guess = 0);

// True for an accept() error that means no descriptor or memory was left:
// the waiting client stays in the listen queue, and trying again at once
// would only spin.
bool ShortOfDescriptors(int err);
// Out of descriptors the listener rests this long before the next try.
constexpr int64_t kAcceptRestMs = 100;
// Starts the listener's rest on the loop: `resting` is set, and cleared by
// a timer after kAcceptRestMs. The server leaves its listeners unwatched
// while it is set. 0 (also when already resting), or -1 when no timer
// could be set (then no rest).
int RestListener(EventLoop *loop, ClientLimits *limits);
