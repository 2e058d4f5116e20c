// Small files answered recently, kept open between requests with their
// bytes: the next request for the same path is answered from memory. A
// kept file is only lent to a connection, which copies from it (or reads
// it with pread: its position is shared) and gives it back when the
// answer ends; the whole file fits the first piece of an answer, so it is
// never sent with sendfile. Beside them, for files of any size: what the
// last look for compressed variants found.
//
// Every answer is the one a fresh open would give. Where the kernel
// reports changes, each directory on a kept file's path and the file
// itself are watched, and any change to one of them forgets the files
// kept below it before the next request is read (the loop takes the
// reports first); a path that cannot be watched (a link on it, the
// system's watch limit) is looked up again on every request instead.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <sys/stat.h>
#include <sys/types.h>

struct Connection;
struct EventLoop;

// Kept descriptors at most; counted among the server's spare descriptors
// (with the one the changes are read from).
constexpr int kKeptFiles = 32;

// c->fileName (beneath the request's root, as OpenInRoot) opened for an
// answer, its status in st. Returns the descriptor, with *lent true when
// it belongs to the kept files; -1 with errno set when it cannot be
// opened; kNoFileStatus when it opened but could not be looked at.
constexpr int kNoFileStatus = -2;
int OpenForAnswer(Connection *c, int flags, struct stat *st, bool *lent);
// A header rendered for an answer from a kept file, kept with the file:
// the next answer rendered from the same `key` (what the response renders
// it from; opaque here) is the same but for its Date, which lies at
// dateAt. Forgotten with the file.
struct KeptHeader {
  unsigned char key[160];
  uint16_t length;  // 0: none kept
  uint16_t dateAt, dateLength;
  char text[448];
};
// The lent file c->decision.file's kept header; null when it has none.
KeptHeader *KeptHeaderOf(const Connection *c);
// Up to `want` bytes of the lent file c->decision.file from `offset`
// into `to`: copied from the kept bytes, or read. As pread.
ssize_t ReadLentFile(const Connection *c, char *to, size_t want, off_t offset);
// The compressed variants (encodings.h bits) found beside c->fileName,
// the file `plain`: remembered with a watched kept file until its
// directory changes, else from a look at `now` or the second before; -1
// when no such look is remembered for that very file. A variant added or
// removed beside an unwatched file that stays unchanged is thus noticed
// within two seconds, while a file asked for often costs no look-up per
// request.
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
// Closes every kept descriptor not lent out (at the end of the process,
// and when the roots they were found in close); those lent out are closed
// when given back.
void CloseKeptFiles();
// Watches kept files for changes from now on, the reports read on `loop`
// ahead of any request; without it (or where the system offers no
// reports) each kept file is looked up again per request.
void WatchKeptFiles(EventLoop *loop);
void StopWatchingKeptFiles(EventLoop *loop);
