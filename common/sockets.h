// Every raw socket call of the servers and tools goes through here.
#pragma once
#include <cstddef>
#include <sys/types.h>

struct Worker;

// The first IPv4 address of a host name (or dotted text) into out; 0 or -1.
int ResolveIPv4(const char *name, char *out, size_t size);
// The same look-up on the worker's thread, as a name server may take
// seconds to answer: `answered` runs on the loop thread with the name and
// its address (null when it has none), or before this returns without a
// worker. A look-up the worker stops before it ran is never answered.
void ResolveIPv4OffLoop(Worker *worker, const char *name, void *owner,
                        void (*answered)(void *owner, const char *name, const char *address));
// Fills up to *count 16-byte slots with this host's IPv4 addresses in
// resolver order; *count becomes the number of addresses found.
int FindHostAddresses(char (*slots)[16], int *count);
// Shut down sending, drain what is waiting without blocking (at most
// DrainBounded's share), close.
int CloseConnection(int sock);
// Reads and discards what the peer has sent, without blocking, in at most
// kDrainReads reads of kDrainPiece bytes; returns the bytes discarded.
constexpr int kDrainReads = 64;
constexpr size_t kDrainPiece = 256;
size_t DrainBounded(int sock);

// Ignores SIGPIPE for the process (sends also use MSG_NOSIGNAL).
void IgnoreSigpipe();
// True for EAGAIN, EWOULDBLOCK and EINTR.
bool WouldBlock(int err);
int SetNonBlocking(int fd);
// True when fd may be used with FD_SET/FD_ISSET.
bool FdFits(int fd);
// Turns off Nagle's delay: a reply that follows another with no word from
// the peer in between (150, then 226) must not wait for the peer's delayed
// acknowledgement.
int SetNoDelay(int fd);
// Keeps urgent (out-of-band) bytes in the ordinary stream: an FTP client
// sends ABOR with its last byte marked urgent, and without this that byte
// would vanish from the command line.
int SetOobInline(int fd);
// send() without SIGPIPE; returns what send returns.
ssize_t SendBytes(int fd, const void *buf, size_t len);
ssize_t RecvBytes(int fd, void *buf, size_t len);
// Raises the process's limit of open descriptors toward `want` as far as
// the hard limit allows; the limit in force afterwards.
long RaiseDescriptorLimit(long want);
