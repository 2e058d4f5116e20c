// The FTP server's two records: the one Server of the process and one
// Request per connected client. Sizes of the text fields are limits of the
// protocol (a command line fits the 256-byte command buffer, an argument the
// 512-byte field) and of the account format.
#pragma once
#include <climits>
#include <cstdint>
#include <ctime>
#include <dirent.h>
#include <string>

#include <sys/select.h>

#include "addresses.h"
#include "buffer_pool.h"
#include "client_limits.h"
#include "conn_io.h"
#include "event_loop.h"
#include "proxy_header.h"
#include "startup.h"

struct Log;
struct QuotaRecord;
struct PasswordCheck;
struct Worker;
struct Request;
struct EventLoop;
typedef struct ssl_ctx_st SSL_CTX;

enum {
  kCmndBufferSize = 256,
  kDataBufferSize = 2048,
  kCommandSize = 8,
  kArgumentSize = 512,
  kUserNameSize = 32,
  kPassWordSize = 130,  // a hash, or a clear password of up to 128 bytes
  kCwdSize = 512,
  kPermissionCount = 26,
  kHomeSize = 256,
  // A reply longer than the command buffer (STAT of a directory) is
  // written into one borrowed block of this size.
  kReplyBlockSize = 16 * 1024,
  // RootDirectory= as the reader takes it: a path of up to PATH_MAX - 1
  // characters, the longest the system opens.
  kRootValueSize = PATH_MAX + 1,
};

// What the command connection is doing with its buffer.
enum CmndState : int32_t {
  kCmndEmpty,      // the line is taken; the buffer waits for a reply
  kCmndReceiving,  // a command line is being received
  kCmndQueued,     // a reply waits to be sent
  kCmndProxyHeader,  // a balancer's PROXY header is awaited, in buffer;
                     // the greeting follows it
};
// What the data connection carries.
enum DataState : int32_t {
  kDataIdle,       // no transfer, or the last one is complete
  kDataSending,    // a download or a listing
  kDataReceiving,  // an upload
  kDataDraining,   // an upload refused midway: what the client still
                   // sends is read and dropped before the refusal goes
};
// Where TLS stands on the command connection.
enum CmndTls : int32_t {
  kTlsOff,         // plain text
  kTlsAfterReply,  // AUTH TLS answered: TLS starts once its reply is out
  kTlsOn,
};
// The lines a listing is sent as.
enum ListFormat : int32_t {
  kListNone,   // no listing
  kListLong,   // LIST: a long line per entry
  kListNames,  // NLST: names only
  kListFacts,  // MLSD: machine-readable facts
};

struct Server {
  uint32_t MaxUsers;
  uint32_t users;                 // open sessions
  Request *requests;              // session list, oldest first
  // Listening address, IPv4 or IPv6 ("::" serves both), detected for AUTO.
  char Address[kAddressTextSize];
  // IPv4 address announced in passive replies; when it is a copy of an
  // IPv6 Address, each session announces the address it reached instead.
  char ExternIP[kAddressTextSize];
  // ExternIP= as a host name, looked up at start and at each reload (its
  // address may change); empty when ExternIP= is an address.
  char ExternHost[256];
  char serverName[16];
  char homeDirectory[kHomeSize];  // start directory; accounts/ lies below
  Log *log;
  time_t bandwidthStart;          // start of the shared bandwidth window
  uint64_t bandwidthBytes;        // bytes counted in that window
  uint64_t maxBandwidth;          // bytes per second, 0 = no limit
  int32_t TimeoutTime;            // seconds; <= 0 switches the idle check off
  int backlog;
  int listenSocket;
  uint32_t Port;
  // TLSImplicitPort=: a second listener whose sessions speak TLS from
  // their first byte (0, and -1 for the socket, when not configured).
  uint32_t TLSImplicitPort;
  int implicitSocket;
  uint32_t DataPort;              // first passive data port
  // Explicit TLS (AUTH TLS), offered when a certificate is configured.
  char TLSCertificate[PATH_MAX];
  char TLSKey[PATH_MAX];
  char RequireTLS;                // '1': USER only after AUTH TLS
  RunAs runAs;                    // User=, Group=: whom root becomes
  uint32_t uploadMode;            // UploadMode=: mode of a new upload
  // QuotaDir=: where the quota records (NAME.dsk) live; "" beside the
  // account files, which may then be read-only to the server.
  char quotaDir[kHomeSize];
  SSL_CTX *tlsContext;            // null: no TLS
  QuotaRecord *quotas;            // quota records of logged-in accounts
  Worker *worker;                 // password hash checks, null: in place
  // Sessions per client address (MaxPerAddress=, or a quarter of MaxUsers
  // and at least 2), failed logins, the listener's rest.
  ClientLimits limits;
  EventLoop *loop;                // null outside the server (tests, fuzzing)
  time_t refusedPrinted;          // when the refused-connection message
                                  // was last printed
  const char *configFile;         // read again for a reload (SIGHUP)
  uint32_t roomUsers;             // MaxUsers the loop and tables were made for
  ProxyTrust proxies;             // ProxyProtocol=, TrustedProxies=
  BufferPool replyBlocks;         // lent while a long reply goes out
  BufferPool xferBlocks;          // lent while a transfer or listing runs
  BufferPool cmndSpaces;          // lent while a command is read or answered
};

// The buffers of a command, lent to a session from the server's pool when
// bytes arrive or a reply is queued, and given back once the reply is out
// and nothing more has come (ReturnIdleCommandSpace): a session waiting
// for its next command holds none. Zeroed when lent.
struct CommandSpace {
  char buffer[kCmndBufferSize];      // line being received or reply queued
  // Command bytes received behind the line being answered (a client that
  // sends several commands at once): they become the buffer again once
  // the reply has gone out.
  char pending[kCmndBufferSize];
  char command[kCommandSize];
  char argument[kArgumentSize];
};

// The command connection: the line being received or the one reply
// queued (in space), the command taken from the last line, and the TLS
// steps.
struct CmndChannel {
  ConnIo io = {-1, nullptr, 0};
  CmndState state;
  int32_t length;                    // bytes held in space->buffer
  CommandSpace *space = nullptr;     // null while the session waits idle
  int32_t pendingLength;             // bytes held in space->pending
  bool telnetIac;                    // the last byte read was an IAC whose
                                     // command byte is still due
  bool discarding;                   // an over-long line was refused: its
                                     // rest is dropped up to its line end
  const char *finalReply;            // a transfer's final reply waiting for
                                     // the reply being sent (or the pump's
                                     // own choice of it), null none
  CmndTls tls;
  ProxyWait proxyWait;               // kCmndProxyHeader: what came of it
  bool implicitAfterHeader;          // TLS from the first byte after the header
  bool pbszGiven;
  // A reply too long for the buffer, in a borrowed block (length counts
  // what is left of it, from longSent on); null when none.
  char *longReply = nullptr;
  int32_t longSent;
  int32_t lastCommand;               // code of the previous command, -1 unknown
};

// The buffers a transfer or listing works in, borrowed from the server's
// pool while one is prepared or runs (HoldXferBuffers) and given back with
// it: a session waiting for commands holds none.
struct XferBuffers {
  char buffer[kDataBufferSize];
  char listPattern[kCmndBufferSize]; // names a listing keeps ("" all)
  char listDirectory[800];           // path of the listed directory below
                                     // the root, ending in '/'
  // A STOR into a temporary name (UploadState): the target's name in its
  // directory and the temporary name beside it; uploadTemp is empty when
  // there is none.
  char uploadName[256];
  char uploadTemp[64];
};

// The data connection and the transfer or listing it carries. Everything
// here belongs to one transfer: a session is ready for the next one when
// the record is made anew.
struct XferChannel {
  ConnIo io = {-1, nullptr, 0};      // established data connection
  int listenSocket = -1;             // passive listener or pending connect
  int32_t port;                      // own passive port, or the client's
                                     // after PORT
  bool passive = true;               // false after PORT / EPRT
  bool secured;                      // a PROT P connection has passed its
                                     // handshake and the session check
  DataState state;
  int32_t length;                    // bytes held in bufs->buffer
  int file = -1;                     // file of the running transfer, -1 none
  XferBuffers *bufs = nullptr;       // null until a transfer needs them
  const char *drainReply;            // while draining: the refusal due at
                                     // its end
  int64_t drainEndMs;                // while draining: when it stops (NowMs)
  int64_t drained;                   // while draining: bytes dropped
  DIR *dir;                          // directory being listed, null none
  ListFormat listFormat;
};

// The account the session logged in as, and what it grants.
struct LoginState {
  char userName[kUserNameSize];
  // The account's password or hash from USER until PASS is judged (then
  // freed); empty: no password asked.
  std::string passWord;
  bool accountRefused;               // USER named no usable account: its
                                     // PASS is refused like a wrong one
  bool passwordRefused;              // the last PASS was refused: the one
                                     // refusal a failed-login budget counts
  int32_t refusedBeforeLogin;        // commands refused before login
  PasswordCheck *check;              // hash check running for PASS, null
                                     // none; the session waits for it
  // Real path of the virtual "/", set once at login: a root may be as long
  // as PATH_MAX, which a fixed field would make every session pay for.
  std::string root;
  // Virtual current directory, "/.../", shorter than kCwdSize; a heap
  // string sized to it (none for the short ones).
  std::string cwd;
  char permissions[kPermissionCount];  // '1' per allowed command code
  char fullBandwidth;                // '1' exempt from MaximumBandwidth
  char closeIfIdle = '0';            // '0' never closed for idleness
  uint64_t diskQuota;                // DiskQuota= of the account, 0 = none
  QuotaRecord *quota;                // the account's shared quota record,
                                     // null without a quota
};

// A STOR writing into a temporary name (upload_files.h), whose names are
// kept with the transfer's buffers (XferBuffers); dir is open only while
// there is one.
struct UploadState {
  int dir = -1;                      // the target's directory
  int64_t base;                      // size of what the target held at start
  int64_t charged;                   // bytes charged so far beyond that
};

// The session's pending loop timers (0: none; CloseRequest cancels them)
// and the clocks they look at.
struct SessionTimers {
  int64_t idle;                      // next idle check
  int64_t login;                     // end of the time to log in
  int64_t reply;                     // a held-back reply is due
  int64_t wake;                      // a throttled turn or buffered bytes
  int64_t replyDueMs;                // a failed login's reply is held back
                                     // until then (NowMs), 0 none
  time_t lastActive;
  uint64_t idleMark;                 // bytesSent + bytesReceived at last check
};

struct Request {
  CmndChannel cmnd;
  XferChannel xfer;
  LoginState login;
  UploadState upload;
  SessionTimers timers;
  Request *next;
  Server *pConfig;
  // The client's address (its text dotted or IPv6, as logged and
  // counted): data connections go to and come from it.
  NetAddress clientAddress;
  time_t connectTime;                // when the client connected
  uint64_t bytesSent;                // replies and data, for the idle check
  uint64_t bytesReceived;
  // What earlier commands chose for the ones that follow.
  char binaryMode;                   // '1' binary, '0' ASCII
  bool epsvAll;                      // after EPSV ALL: only EPSV then
  bool protPrivate;                  // after PROT P: data in TLS
  int64_t restOffset;                // REST offset for the next RETR/STOR
  char *renameFrom;                  // pending rename source (owned)
  char *renameTo;                    // rename target while checked (owned)
};

// The session's transfer buffers, borrowed when first needed (contents
// undefined then): false when out of memory.
inline bool HoldXferBuffers(Request *pReq) {
  if (pReq->xfer.bufs) return true;
  BufferPool *pool = &pReq->pConfig->xferBlocks;
  // A few blocks stay for the next transfers; the rest of a burst goes
  // back to the system.
  if (pool->blockSize == 0) InitBufferPool(pool, sizeof(XferBuffers), 16);
  pReq->xfer.bufs = static_cast<XferBuffers *>(BorrowBlock(pool));
  if (!pReq->xfer.bufs) return false;
  pReq->xfer.bufs->listPattern[0] = '\0';
  pReq->xfer.bufs->listDirectory[0] = '\0';
  pReq->xfer.bufs->uploadName[0] = '\0';
  pReq->xfer.bufs->uploadTemp[0] = '\0';
  return true;
}

// Descriptors below this number fit the server's loop.
inline int SocketRoom(const Server *pConfig) {
  return pConfig->loop ? EventLoopSize(pConfig->loop) : FD_SETSIZE;
}
