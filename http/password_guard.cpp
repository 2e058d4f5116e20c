#include "password_guard.h"

#include <cstdio>
#include <cstring>

namespace {

bool WindowOver(const FailedLogins &f, int64_t nowMs) {
  return nowMs - f.windowStart >= kGuardWindowMs;
}

const FailedLogins *Find(const LoginGuard *guard, const char *address) {
  for (const FailedLogins &f : guard->slots)
    if (f.address[0] != '\0' && strcmp(f.address, address) == 0) return &f;
  return nullptr;
}

// A slot for a new address: a free one, else one whose window is over,
// else the one whose window began first. Many addresses can thus push an
// address out of the table early; each of them still waits its second
// per failure.
FailedLogins *Claim(LoginGuard *guard, int64_t nowMs) {
  FailedLogins *oldest = &guard->slots[0];
  for (FailedLogins &f : guard->slots) {
    if (f.address[0] == '\0' || WindowOver(f, nowMs)) return &f;
    if (f.windowStart < oldest->windowStart) oldest = &f;
  }
  return oldest;
}

}  // namespace

void NoteFailedLogin(LoginGuard *guard, const char *address, int64_t nowMs) {
  FailedLogins *f = const_cast<FailedLogins *>(Find(guard, address));
  if (!f) {
    f = Claim(guard, nowMs);
    snprintf(f->address, sizeof f->address, "%s", address);
    f->windowStart = nowMs;
    f->count = 0;
  } else if (WindowOver(*f, nowMs)) {
    f->windowStart = nowMs;
    f->count = 0;
  }
  if (f->count < kFailuresAllowed) f->count++;
}

bool LockedOut(const LoginGuard *guard, const char *address, int64_t nowMs) {
  const FailedLogins *f = Find(guard, address);
  return f && f->count >= kFailuresAllowed && !WindowOver(*f, nowMs);
}
