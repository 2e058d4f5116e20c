#include "passwords.h"

#include <crypt.h>
#include <cstddef>
#include <cstring>
#include <new>
#include <termios.h>
#include <unistd.h>

static const char kPrompt[] = "Password: ";
static const char kTooLong[] = "The password is longer than 128 bytes.\n";
static const char kNoPassword[] = "No password given.\n";
static const char kHashFailed[] = "Could not hash the password.\n";

// Each accepted scheme, and the characters of the hash proper behind the
// last '$' (what a truncated or mistyped line gets wrong).
struct Scheme {
  const char *prefix;
  size_t hashChars;
};
static const Scheme kSchemes[] = {{"$y$", 43}, {"$6$", 86}, {"$5$", 43}, {"$2b$", 53}};
static const char kHashAlphabet[] =
    "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

static const Scheme *SchemeOf(const char *stored) {
  for (const Scheme &s : kSchemes)
    if (strncmp(stored, s.prefix, strlen(s.prefix)) == 0) return &s;
  return nullptr;
}

bool IsPasswordHash(const char *stored) { return SchemeOf(stored) != nullptr; }

int CheckStoredPassword(const char *stored) {
  const Scheme *scheme = SchemeOf(stored);
  // A '$' in front says a hash was meant: one of a scheme not accepted
  // ("$1$" MD5) would otherwise be taken as a clear password, and the
  // account's owner locked out without a word.
  if (!scheme) return stored[0] == '$' ? -1 : 0;
  const char *hash = strrchr(stored, '$') + 1;
  if (hash - stored <= (ptrdiff_t)strlen(scheme->prefix) || strlen(hash) != scheme->hashChars ||
      strspn(hash, kHashAlphabet) != scheme->hashChars)
    return -1;
  // A scheme libcrypt was built without would only lock its account out.
  // SHA-256 crypt counts as legacy to libcrypt, yet it is one accepted.
  int verdict = crypt_checksalt(stored);
  return verdict == CRYPT_SALT_OK || verdict == CRYPT_SALT_METHOD_LEGACY ? 0 : -1;
}

// Compares two texts of up to kPasswordMost bytes touching every byte of
// both, whatever they hold.
static bool SameInConstantTime(const char *a, const char *b) {
  size_t na = strnlen(a, kPasswordMost + 1), nb = strnlen(b, kPasswordMost + 1);
  unsigned diff = (unsigned)(na != nb);
  for (size_t i = 0; i <= kPasswordMost; i++) {
    unsigned char x = i < na ? (unsigned char)a[i] : 0;
    unsigned char y = i < nb ? (unsigned char)b[i] : 0;
    diff |= (unsigned)(x ^ y);
  }
  return diff == 0;
}

bool PasswordMatches(const char *given, const char *stored) {
  if (strlen(given) > kPasswordMost) return false;
  if (!IsPasswordHash(stored)) return SameInConstantTime(given, stored);
  // crypt_data is some 32 KiB: one per thread, not on its stack each time.
  static thread_local struct crypt_data data;
  memset(&data, 0, sizeof data);
  const char *hash = crypt_rn(given, stored, &data, sizeof data);
  if (!hash) return false;
  size_t n = strlen(stored);
  // Same length and bytes; a hash is public-looking, yet compared alike.
  unsigned diff = (unsigned)(strlen(hash) != n);
  for (size_t i = 0; i < n && hash[i]; i++) diff |= (unsigned)(hash[i] ^ stored[i]);
  return diff == 0;
}

static void RunCheck(WorkJob *job) {
  PasswordCheck *c = reinterpret_cast<PasswordCheck *>(job);
  c->match = PasswordMatches(c->given, c->stored);
}

static void CheckDone(WorkJob *job) {
  PasswordCheck *c = reinterpret_cast<PasswordCheck *>(job);
  memset(c->given, 0, sizeof c->given);
  if (c->owner) c->answered(c->owner, c->match);
  delete c;
}

PasswordCheck *CheckPasswordOffLoop(Worker *worker, const char *given,
                                    const char *stored, void *owner,
                                    void (*answered)(void *owner, bool match)) {
  PasswordCheck *c = new (std::nothrow) PasswordCheck;
  if (!c || strlen(given) > kPasswordMost || strlen(stored) >= sizeof c->stored) {
    delete c;
    answered(owner, false);
    return nullptr;
  }
  c->job.run = RunCheck;
  c->job.done = CheckDone;
  c->owner = owner;
  c->answered = answered;
  c->match = false;
  memcpy(c->given, given, strlen(given) + 1);
  memcpy(c->stored, stored, strlen(stored) + 1);
  // Without a worker the check is answered before WorkOn returns.
  if (!worker) {
    WorkOn(nullptr, &c->job);
    return nullptr;
  }
  WorkOn(worker, &c->job);
  return c;
}

void ForgetPasswordCheck(PasswordCheck *check) {
  if (check) check->owner = nullptr;
}

// One line from `in`; the echo is off while a terminal types it.
static int ReadPasswordLine(FILE *in, char *line, size_t size) {
  int fd = fileno(in);
  struct termios saved;
  bool terminal = isatty(fd) && tcgetattr(fd, &saved) == 0;
  if (terminal) {
    fputs(kPrompt, stderr);
    struct termios quiet = saved;
    quiet.c_lflag &= ~(tcflag_t)ECHO;
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  char *got = fgets(line, (int)size, in);
  if (terminal) {
    tcsetattr(fd, TCSAFLUSH, &saved);
    fputc('\n', stderr);
  }
  if (!got) return -1;
  line[strcspn(line, "\r\n")] = '\0';
  return 0;
}

int PrintPasswordHash(FILE *in, FILE *out) {
  char line[kPasswordMost + 3];
  if (ReadPasswordLine(in, line, sizeof line) != 0 || line[0] == '\0') {
    fputs(kNoPassword, stderr);
    return -1;
  }
  if (strlen(line) > kPasswordMost) {
    fputs(kTooLong, stderr);
    return -1;
  }
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  static struct crypt_data data;
  const char *hash = nullptr;
  // A null prefix picks libcrypt's default scheme and cost.
  if (crypt_gensalt_rn(nullptr, 0, nullptr, 0, setting, sizeof setting))
    hash = crypt_rn(line, setting, &data, sizeof data);
  memset(line, 0, sizeof line);
  if (!hash || hash[0] == '*') {
    fputs(kHashFailed, stderr);
    return -1;
  }
  fprintf(out, "%s\n", hash);
  return 0;
}
