#include "address_limits.h"

#include <cstring>

#include "sockets.h"

static const char kTooManyConnections[] =
    "421 Too many connections from your address.\r\n";
static const char kTooManyFailures[] = "421 Too many failed logins, try later.\r\n";

// Addresses with recent failures. When the table is full the address whose
// latest failure is oldest makes room: a guesser who cycles through more
// addresses than this only gets the one-second delay of every failure.
static const int kFailureSlots = 256;

struct FailedLogins {
  char address[kAddressTextSize];
  time_t times[kFailedLoginLimit];  // the latest failures, a ring
  int next;                         // slot of the next failure in times
  int count;                        // failures recorded, at most the limit
};

static FailedLogins failures[kFailureSlots];

static FailedLogins *Find(const char *address) {
  for (FailedLogins &f : failures)
    if (f.count > 0 && strcmp(f.address, address) == 0) return &f;
  return nullptr;
}

static time_t Latest(const FailedLogins &f) {
  return f.times[(f.next + kFailedLoginLimit - 1) % kFailedLoginLimit];
}

uint32_t SessionsPerAddress(const Server *pConfig) {
  if (pConfig->MaxPerAddress != 0) return pConfig->MaxPerAddress;
  uint32_t quarter = pConfig->MaxUsers / 4;
  return quarter < 2 ? 2 : quarter;
}

void RecordFailedLogin(const char *address, time_t now) {
  FailedLogins *f = Find(address);
  if (!f) {
    f = &failures[0];
    for (FailedLogins &candidate : failures) {
      if (candidate.count == 0) {
        f = &candidate;
        break;
      }
      if (Latest(candidate) < Latest(*f)) f = &candidate;
    }
    memset(f, 0, sizeof *f);
    size_t n = strnlen(address, kAddressTextSize - 1);
    memcpy(f->address, address, n);
  }
  f->times[f->next] = now;
  f->next = (f->next + 1) % kFailedLoginLimit;
  if (f->count < kFailedLoginLimit) f->count++;
}

bool LoginsBlocked(const char *address, time_t now) {
  const FailedLogins *f = Find(address);
  if (!f || f->count < kFailedLoginLimit) return false;
  // The oldest of the last failures is where the minute began.
  time_t oldest = f->times[f->next];
  return now - oldest < kFailedLoginWindow;
}

static uint32_t SessionsFrom(const Server *pConfig, const char *address) {
  uint32_t n = 0;
  for (const Request *r = pConfig->requests; r; r = r->next)
    if (strcmp(r->ipAddress, address) == 0) n++;
  return n;
}

static bool Refuse(int sock, const char *line) {
  // One attempt: a client that does not take the line loses nothing.
  SendBytes(sock, line, strlen(line));
  CloseConnection(sock);
  return true;
}

bool RefusedAtAccept(const Server *pConfig, int sock, const char *address,
                     time_t now) {
  if (LoginsBlocked(address, now)) return Refuse(sock, kTooManyFailures);
  if (SessionsFrom(pConfig, address) >= SessionsPerAddress(pConfig))
    return Refuse(sock, kTooManyConnections);
  return false;
}
