// Failed logins per client address: ten wrong credentials within a minute
// and the address gets 401 for every guarded name, without any check,
// until that minute is over.
#pragma once
#include "addresses.h"
#include <cstdint>

constexpr int kGuardSlots = 256;
constexpr int kFailuresAllowed = 10;
constexpr int64_t kGuardWindowMs = 60 * 1000;

struct FailedLogins {
  char address[kAddressTextSize];  // empty: slot free
  int64_t windowStart;  // ms (NowMs) of the first failure of the window
  int32_t count;        // failures since windowStart
};

struct LoginGuard {
  FailedLogins slots[kGuardSlots];
};

void NoteFailedLogin(LoginGuard *guard, const char *address, int64_t nowMs);
// True while the address has used up its failures of the current window.
bool LockedOut(const LoginGuard *guard, const char *address, int64_t nowMs);
