// The FTP server's two records: the one Server of the process and one
// Request per connected client. Sizes of the text fields are limits of the
// protocol (a command line fits the 256-byte command buffer, an argument the
// 512-byte field) and of the account format.
#pragma once
#include <cstdint>
#include <ctime>
#include <dirent.h>

#include "addresses.h"
#include "client_limits.h"

struct Log;
struct QuotaRecord;
struct Request;
struct ConnTls;
struct EventLoop;
typedef struct ssl_ctx_st SSL_CTX;

enum {
  kCmndBufferSize = 256,
  kDataBufferSize = 2048,
  kCommandSize = 8,
  kArgumentSize = 512,
  kUserNameSize = 32,
  kPassWordSize = 32,
  kRootSize = 256,
  kCwdSize = 512,
  kPermissionCount = 26,
  kHomeSize = 256,
};

// cmndState values.
enum { kCmndQueued = 2, kCmndReceiving = 3, kCmndEmpty = 4 };
// dataState values.
enum { kDataSending = 0, kDataReceiving = 1, kDataIdle = 4 };

struct Server {
  uint32_t MaxUsers;
  uint32_t users;                 // open sessions
  Request *requests;              // session list, oldest first
  // Listening address, IPv4 or IPv6 ("::" serves both), detected for AUTO.
  char Address[kAddressTextSize];
  // IPv4 address announced in passive replies; when it is a copy of an
  // IPv6 Address, each session announces the address it reached instead.
  char ExternIP[kAddressTextSize];
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
  uint32_t DataPort;              // first passive data port
  // Explicit TLS (AUTH TLS), offered when a certificate is configured.
  char TLSCertificate[256];
  char TLSKey[256];
  char RequireTLS;                // '1': USER only after AUTH TLS
  SSL_CTX *tlsContext;            // null: no TLS
  QuotaRecord *quotas;            // quota records of logged-in accounts
  // Sessions per client address (MaxPerAddress=, or a quarter of MaxUsers
  // and at least 2), failed logins, the listener's rest.
  ClientLimits limits;
  EventLoop *loop;                // null outside the server (tests, fuzzing)
  time_t refusedPrinted;          // when the refused-connection message
                                  // was last printed
};

struct Request {
  char cmndBuffer[kCmndBufferSize];  // line being received or reply queued
  char dataBuffer[kDataBufferSize];  // transfer buffer
  int32_t dataLength;                // bytes held in dataBuffer
  int32_t cmndLength;                // bytes held in cmndBuffer
  uint64_t bytesSent;                // replies and data, for the idle check
  uint64_t bytesReceived;
  uint64_t idleMark;                 // bytesSent + bytesReceived at last check
  time_t lastActive;
  time_t connectTime;                // also the time field of every log entry
  int32_t lastCommand;               // code of the previous command, -1 unknown
  int32_t cmndState;
  int32_t dataState;
  int cmndSocket;
  int DataSocket;                    // passive listener or pending connect
  int xferSocket;                    // established data connection
  int32_t DataPort;                  // own passive port, or the client's after PORT
  int32_t ID;                        // 1..MaxUsers, unique among live sessions
  char passiveMode;                  // '1' passive, '0' active
  char binaryMode;                   // '1' binary, '0' ASCII
  char fullBandwidth;                // '1' exempt from MaximumBandwidth
  char command[kCommandSize];
  char argument[kArgumentSize];
  char userName[kUserNameSize];
  char passWord[kPassWordSize];      // empty: no password asked
  char rootDirectory[kRootSize];     // real path of the virtual "/"
  char cwd[kCwdSize];                // virtual current directory, "/.../"
  char ipAddress[kAddressTextSize];  // client address, dotted or IPv6 text
  NetAddress clientAddress;          // the same as a socket address: data
                                     // connections go to and come from it
  char permissions[kPermissionCount];  // '1' per allowed command code
  char closeIfIdle;                  // '0' never closed for idleness
  char *renameFrom;                  // pending rename source (owned)
  char *renameTo;                    // rename target while checked (owned)
  uint32_t diskQuota;                // DiskQuota= of the account, 0 = none
  int64_t replyDueMs;                // a failed login's reply is held back
                                     // until then (NowMs), 0 none
  int32_t refusedBeforeLogin;        // commands refused before login
  // The session's pending loop timers (0: none); CloseRequest cancels them.
  int64_t idleTimer;                 // next idle check
  int64_t loginTimer;                // end of the time to log in
  int64_t replyTimer;                // a held-back reply is due
  int64_t wakeTimer;                 // a throttled turn or buffered bytes
  QuotaRecord *quota;                // the account's shared quota record,
                                     // null without a quota
  // A STOR writing into a temporary name (upload_files.h); uploadTemp is
  // empty when there is none, and uploadDir is open only while it is not.
  int uploadDir;                     // the target's directory
  char uploadName[256];              // the target's name in it
  char uploadTemp[64];               // the temporary name beside it
  int64_t uploadBase;                // size of what the target held at start
  int64_t uploadCharged;             // bytes charged so far beyond that
  int64_t restOffset;                // REST offset for the next RETR/STOR
  Request *next;
  Server *pConfig;
  int dataFile;                      // file of the running transfer, -1 none
  DIR *dirHandle;                    // directory being listed, null none
  const char *pendingReply;          // a transfer's final reply waiting for
                                     // the reply being sent (or the pump's
                                     // own choice of it), null none
  // Command bytes received behind the line being answered (a client that
  // sends several commands at once): they become the command buffer again
  // once the reply has gone out.
  char pendingInput[kCmndBufferSize];
  int32_t pendingLength;
  char telnetIac;                    // '1' when the last byte read was an
                                     // IAC whose command byte is still due
  char epsvAll;                      // '1' after EPSV ALL: only EPSV then
  char accountRefused;               // '1' when USER named no usable account:
                                     // its PASS is refused like a wrong one
  char listFormat;                   // listing being sent: 'L' LIST lines,
                                     // 'N' names only, 'M' MLSD facts, 0 none
  char listPattern[kCmndBufferSize]; // names a listing keeps ("" all)
  char listDirectory[800];           // real path of the listed directory,
                                     // ending in '/' (root 255 + path 511)
  // TLS state of the command and data connections (null: plain) and the
  // readiness the last call on each had to wait for (0: none).
  ConnTls *cmndTls;
  ConnTls *xferTls;
  int32_t cmndWant;
  int32_t xferWant;
  char tlsCommand;                   // '0' plain, '1' TLS after the reply
                                     // being sent, '2' TLS
  char pbszGiven;                    // '1' after PBSZ
  char protPrivate;                  // '1' after PROT P: data in TLS
};
