// Small files answered recently, kept open between requests: the next
// request for the same path costs one stat instead of an open, a stat and
// a close. A kept descriptor is only lent to a connection, which reads it
// with pread (its position is shared) and gives it back when the answer
// ends; the whole file fits the first piece of an answer, so it is never
// sent with sendfile. Beside them, for files of any size: what the last
// look for compressed variants found.
#pragma once
#include <ctime>
#include <sys/stat.h>

struct Connection;

// Kept descriptors at most; counted among the server's spare descriptors.
constexpr int kKeptFiles = 32;

// c->fileName (beneath the request's root, as OpenInRoot) opened for an
// answer, its status in st. Returns the descriptor, with *lent true when
// it belongs to the kept files; -1 with errno set when it cannot be
// opened; kNoFileStatus when it opened but could not be looked at.
constexpr int kNoFileStatus = -2;
int OpenForAnswer(Connection *c, int flags, struct stat *st, bool *lent);
// The compressed variants (encodings.h bits) found beside c->fileName,
// the file `plain`, by a look at `now` or the second before; -1 when no
// look that recent is remembered for that very file. A variant added or
// removed beside a file that stays unchanged is thus noticed within two
// seconds, while a file asked for often costs no look-up per request.
int RememberedVariants(const Connection *c, const struct stat &plain, time_t now);
// Remembers what a look beside c->fileName (the file `plain`) found at now.
void RememberVariants(const Connection *c, const struct stat &plain, int codings,
                      time_t now);
// Ends the connection's use of c->file: closes it, or hands a lent one
// back. Leaves c->file at -1.
void ReleaseFile(Connection *c);
// Closes the kept descriptors nobody asked for since `before` (a time()
// value): files asked for no more are not held open for good.
void ExpireKeptFiles(time_t before);
// Closes every kept descriptor not lent out (at the end of the process).
void CloseKeptFiles();
