#include "forbidden_names.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client_limits.h"
#include "http_server.h"
#include "passwords.h"
#include "string_helpers.h"

namespace {

// What the entries found so far decided.
struct Verdict {
  int status;            // 200, 401 or 403
  int realm;             // position of the entry that asks; -1 none
  uint32_t realmLength;  // its first field's length: the most specific asks
  bool lockedOut;        // the address has used up its guesses (asked once)
  bool lockChecked;
};

bool IsSeparator(char ch) { return ch == '/' || ch == '\\'; }

// Neither the path nor its decoded form may leave the root, name a drive or
// carry bytes that would break a header or a log line.
// One pass: the check runs for every request and every row of a listing.
bool UnsafePath(const char *path) {
  for (const unsigned char *p = (const unsigned char *)path; *p; p++) {
    unsigned char ch = *p;
    if (ch < 0x20 || ch == 0x7f || ch == ':') return true;
    // A doubled dot, slash or backslash.
    if ((ch == '.' || ch == '/' || ch == '\\') && p[1] == ch) return true;
  }
  return false;
}

bool UserPasses(Connection *c, const char *user, Verdict *v) {
  if (!v->lockChecked) {
    // An address that has guessed wrong too often is refused without a
    // look at what it sent, until its minute is over.
    v->lockedOut = LockedOut(&c->server->limits, c->clientAddress, NowMs());
    v->lockChecked = true;
  }
  if (v->lockedOut) return false;
  if (CheckUser(c, user) == 0) return true;
  // Only a refused password is a failed login: a user whose password is
  // right but who is not the one this name is guarded for guessed nothing.
  if (c->request.passwordOffset != 0 && CheckUser(c, c->request.credentials) != 0)
    c->decision.failedLogin = '1';
  return false;
}

// Applies every entry that occurs in text (ignoring letter case).
void Judge(Connection *c, const char *text, Verdict *v) {
  int position = 0;
  for (const ListItem *f = c->server->forbidden; f; f = f->next, position++) {
    if (!stristr(text, f->text)) continue;
    const char *user = SecondField(f);
    if (user[0] == '\0') {
      v->status = 403;
      continue;
    }
    if (UserPasses(c, user, v)) continue;
    if (v->status != 403) v->status = 401;
    if (v->realm < 0 || f->length > v->realmLength) {
      v->realm = position;
      v->realmLength = f->length;
    }
  }
}

int Settle(Connection *c, const Verdict &v) {
  if (v.status == 401) c->decision.realmIndex = v.realm;
  return v.status;
}

// The real location of each configured root, looked up once: roots do not
// move while the server runs. Roots beyond the table are looked up each
// time.
const int kCachedRoots = 16;
struct RootPlace {
  const char *root;
  char real[PATH_MAX];
  bool found;
};
RootPlace rootPlaces[kCachedRoots];

const char *RealRoot(const char *root, char *scratch) {
  for (RootPlace &p : rootPlaces) {
    if (p.root == root) return p.found ? p.real : nullptr;
    if (p.root == nullptr) {
      p.root = root;
      p.found = realpath(root, p.real) != nullptr;
      return p.found ? p.real : nullptr;
    }
  }
  return realpath(root, scratch);
}

// Judges the name by which `prefix` + root reaches the file at `real`,
// when the root holds it.
void JudgeAlias(Connection *c, const char *root, const char *prefix,
                size_t prefixLength, const char *real, bool directory,
                Verdict *v) {
  char scratch[PATH_MAX];
  const char *rootReal = RealRoot(root, scratch);
  if (!rootReal) return;
  size_t n = strlen(rootReal);
  const char *rel;
  if (strcmp(rootReal, "/") == 0)
    rel = real;
  else if (strncmp(real, rootReal, n) == 0 && (real[n] == '/' || real[n] == '\0'))
    rel = real + n;
  else
    return;
  while (prefixLength > 0 && IsSeparator(prefix[prefixLength - 1])) prefixLength--;
  char text[32 + PATH_MAX + 2];
  size_t relLength = strlen(rel);
  bool slash = directory && (relLength == 0 || rel[relLength - 1] != '/');
  int w = snprintf(text, sizeof text, "%.*s%s%s", (int)prefixLength, prefix,
                   relLength ? rel : "/", slash && relLength ? "/" : "");
  if (w < 0 || (size_t)w >= sizeof text) return;
  Judge(c, text, v);
}

// Every configured root that holds the file names it in its own way; each
// of those names meets the entries.
void JudgeEveryRoute(Connection *c, Verdict *v) {
  char real[PATH_MAX];
  if (!realpath(c->space->fileName, real)) return;  // nothing there to guard
  size_t n = strlen(c->space->fileName);
  bool directory = n > 0 && IsSeparator(c->space->fileName[n - 1]);
  HttpServer *s = c->server;
  for (const ListItem *item = s->virtuals; item; item = item->next)
    JudgeAlias(c, SecondField(item), item->text, item->length, real, directory, v);
  for (const ListItem *item = s->hosts; item; item = item->next)
    JudgeAlias(c, SecondField(item), "", 0, real, directory, v);
}

}  // namespace

void NormalisePath(char *path) {
  char *out = path;
  const char *p = path;
  while (*p) {
    if (*p == '/' && out > path && out[-1] == '/') {
      p++;  // a second '/'
      continue;
    }
    if (*p == '.' && out > path && out[-1] == '/' && (p[1] == '/' || p[1] == '\0')) {
      p += p[1] == '/' ? 2 : 1;  // "./" or a final "."
      continue;
    }
    *out++ = *p++;
  }
  *out = '\0';
}

const char *StoredHashOf(const Connection *c) {
  for (const ListItem *u = c->server->users; u; u = u->next) {
    if (strcmp(u->text, c->request.credentials) != 0) continue;
    return IsPasswordHash(SecondField(u)) ? SecondField(u) : nullptr;
  }
  return nullptr;
}

int CheckUser(Connection *c, const char *user) {
  if (c->request.passwordOffset == 0) return -1;
  if (strcmp(c->request.credentials, user) != 0) return -1;
  for (const ListItem *u = c->server->users; u; u = u->next) {
    if (strcmp(u->text, user) != 0) continue;
    // A hash was checked before the resolution, against this same entry.
    if (IsPasswordHash(SecondField(u))) return c->request.passwordMatch == 1 ? 0 : -1;
    return PasswordMatches(c->request.credentials + c->request.passwordOffset, SecondField(u))
               ? 0 : -1;
  }
  return -1;
}

int CheckAccess(Connection *c, const char *text) {
  if (UnsafePath(c->decision.urlPath)) return 403;
  Verdict v = {200, -1, 0, false, false};
  Judge(c, text, &v);
  return Settle(c, v);
}

int CheckPathAccess(Connection *c) {
  if (UnsafePath(c->decision.urlPath)) return 403;
  Verdict v = {200, -1, 0, false, false};
  char text[32 + kFileNameSize];
  size_t n = 0;
  if (c->decision.virtualItem) {
    n = c->decision.virtualItem->length;
    if (n > 31) n = 31;
    memcpy(text, c->decision.virtualItem->text, n);
    if (n > 0 && IsSeparator(text[n - 1])) n--;
  }
  // The path is cut where it does not fit, as the room allows.
  size_t rest = strnlen(c->decision.urlPath, sizeof text - n - 1);
  memcpy(text + n, c->decision.urlPath, rest);
  text[n + rest] = '\0';
  Judge(c, text, &v);
  if (c->server->forbidden) JudgeEveryRoute(c, &v);
  return Settle(c, v);
}
