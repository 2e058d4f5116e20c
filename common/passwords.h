// Stored passwords of both servers: a crypt(3) hash ("$y$" yescrypt,
// "$6$"/"$5$" SHA-crypt, "$2b$" bcrypt) or, for files written before
// hashes were accepted, the password in clear text.
#pragma once
#include <cstddef>
#include <cstdio>

#include "worker.h"

// Longest password a client may give or a file may hold in clear text.
constexpr size_t kPasswordMost = 128;
// Room for a stored password (a hash of any accepted scheme, or a clear
// one) and its terminating zero.
constexpr size_t kStoredPasswordSize = kPasswordMost + 2;

// True when `stored` is written in one of the accepted hash schemes.
bool IsPasswordHash(const char *stored);
// 0 when `stored` is clear text or a hash libcrypt can check with; -1 for
// a hash whose syntax it refuses (a mistyped or truncated line), and for
// anything else that starts with '$' (a scheme not accepted).
int CheckStoredPassword(const char *stored);
// True when `given` is the password `stored` keeps. A hash costs tens of
// milliseconds (run it off the loop); clear text is compared in constant
// time, so the reply's timing tells nothing about how much was right.
bool PasswordMatches(const char *given, const char *stored);

// A hash check handed to a worker (worker.h). `answered` runs on the loop
// thread with the owner and the result, unless the owner was forgotten
// first; the check then frees itself.
struct PasswordCheck {
  WorkJob job;
  void *owner;
  void (*answered)(void *owner, bool match);
  bool match;
  char given[kPasswordMost + 1];
  char stored[kStoredPasswordSize];
};
// Starts the check; the handle to forget it by, or null when it was
// answered already (no worker, or out of memory: then a refusal).
PasswordCheck *CheckPasswordOffLoop(Worker *worker, const char *given,
                                    const char *stored, void *owner,
                                    void (*answered)(void *owner, bool match));
// The owner goes away: its check ends unanswered.
void ForgetPasswordCheck(PasswordCheck *check);

// Reads a password from `in` (without echo when it is a terminal, after a
// prompt on stderr) and writes its hash in libcrypt's default scheme to
// `out`. 0, or -1 with a message on stderr.
int PrintPasswordHash(FILE *in, FILE *out);
