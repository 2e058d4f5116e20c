// Every raw socket call of the servers and tools goes through here.
#pragma once
#include <cstddef>
#include <sys/types.h>

struct iovec;

int StartWinsock();
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
// Non-blocking listening TCP socket with SO_REUSEADDR on addr:port
// (addr dotted IPv4; must be readable by inet_aton). -1 on failure, with
// *stage telling which step failed: 1 socket, 2 bind/address, 3 listen,
// and errno saying why (EADDRNOTAVAIL for an address inet_aton cannot read).
int ListenTcp(const char *addr, unsigned port, int backlog, int *stage);
// accept() giving a non-blocking socket whose descriptor fits an fd_set;
// -1 otherwise (a descriptor >= FD_SETSIZE is closed at once). Peer address
// in dotted form into peer (16 bytes) when given.
int AcceptClient(int listener, char *peer, unsigned *peerPort);
// AcceptClient for a loop that watches descriptors below `limit`.
int AcceptClientBelow(int listener, int limit, char *peer, unsigned *peerPort);
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
// The pieces in order with one sendmsg() without SIGPIPE; returns what
// sendmsg returns. `more` (MSG_MORE) tells the kernel that more data
// follows at once: small pieces then leave together instead of one
// segment each. The last piece of a burst must go without it.
ssize_t SendPieces(int fd, const struct iovec *parts, int count,
                   bool more = false);
// Up to len bytes from the current position of file straight to the socket
// (sendfile), the position moved by what was sent. Returns what sendfile
// returns; SIGPIPE must be ignored (IgnoreSigpipe), as sendfile has no flag
// against it.
ssize_t SendFromFile(int sock, int file, size_t len);
// Raises the process's limit of open descriptors toward `want` as far as
// the hard limit allows; the limit in force afterwards.
long RaiseDescriptorLimit(long want);
// Local address of a connected socket, dotted (16 bytes). 0 or -1.
int LocalAddress(int fd, char *addr);
