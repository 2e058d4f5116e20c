// The records of the HTTP server: the process-wide HttpServer, one
// Connection per accepted client, and ListItem for the repeated settings.
#pragma once
#include <climits>
#include <cstdint>
#include <ctime>
#include <dirent.h>

#include "addresses.h"
#include "buffer_pool.h"
#include "client_limits.h"
#include "conn_io.h"
#include "content_types.h"
#include "proxy_header.h"
#include "startup.h"

struct EventLoop;
struct Log;

// One entry of a configuration list. `text` holds the value with its first
// ';' replaced by a NUL and one extra NUL after the terminator, so the second
// field (at text + length + 1) is the empty text when there was no ';'.
struct ListItem {
  char *text;
  uint32_t length;  // length of the first field
  ListItem *next;
  // AddVirtual and AddHost: the root directory, held open (O_PATH) from
  // the start so no request pays for opening it; -1 in the other lists,
  // and for a root missing at the start (then opened by its path each
  // time, so it is served once it appears).
  int rootFd;
};

inline const char *SecondField(const ListItem *item) {
  return item->text + item->length + 1;
}

struct PasswordCheck;
struct Worker;
struct Connection;

struct HttpServer {
  int listenSocket;
  const char *webRoot;       // path of the last AddVirtual entry
  char protocol[9];          // "HTTP/1.0"
  char homeDirectory[128];   // start directory; custom pages lie in its err/
  char serverName[16];       // "Mirt/1.7.1"
  char address[kAddressTextSize];  // IPv4 or IPv6, or "AUTO" until start-up
  char baseURL[256];         // start of every Location value
  char directoryListing;     // '0' off, '1' on, '2' on with protected names
  char extendedMessages;     // '0' no built-in error bodies
  // '1': NAME.br / NAME.gz beside a file are sent to clients that take
  // them (CompressedVariants=, on by default).
  char compressedVariants;
  uint32_t maxConnections;
  uint32_t clients;
  int backlog;
  int port;
  int timeout;               // idle limit in seconds; <= 0 none
  ListItem *forbidden;
  ListItem *types;
  SystemTypes systemTypes;   // the system's mime.types, after the built-in table
  ListItem *virtuals;
  Connection *connections;   // oldest first
  Connection *lastConnection;  // its tail: a new client is added in O(1)
  const char *defaultHost;   // last AddHost name when hosts are on
  ListItem *hosts;
  ListItem *users;
  ListItem *indexes;
  // AddHeader lines: a path prefix, and the header line its answers carry.
  ListItem *headers;
  Log *log;
  // Seconds a persistent connection waits for its next request; 0: every
  // connection closes after its answer.
  int keepAliveTimeout;
  EventLoop *loop;           // null outside the running server (tests, fuzz)
  Worker *worker;            // password hash checks; null: checked in place
  char logFormat;            // 'm' the server's own line, 'c' Combined
  // Connections per client address, failed logins (ten a minute, then
  // 401 for every guarded name), the listeners' rest.
  ClientLimits limits;
  // HTTPS beside plain HTTP: a second listener whose connections are TLS
  // (TLSPort 0: none). Redirects on it start with tlsBaseURL.
  int tlsPort;
  int tlsListenSocket;
  SSL_CTX *tlsContext;
  char tlsCertificate[PATH_MAX];
  char tlsKey[PATH_MAX];
  RunAs runAs;               // User=, Group=: whom root becomes
  char tlsBaseURL[256];
  // Reload (SIGHUP): the file read again, the count of reloads, the
  // connection places the loop was made for, and the lists replaced by a
  // reload, kept while a connection from before it may still use them.
  const char *configPath;
  bool stopping;             // SIGTERM: answers in flight finish, then the end
  uint64_t generation;
  uint32_t roomConnections;
  struct RetiredLists *retired;
  // The connections' RequestSpace blocks (see connections.h).
  BufferPool spaces;
  // Workers= (1: this process serves). The master of several workers
  // holds one listening socket per worker and port (the kernel spreads
  // new clients over them): the plain one of worker i at 2*i, its TLS one
  // (-1 none) at 2*i+1. They stay open in the master, so that a worker
  // started in place of one that ended takes over its waiting clients.
  int workers;
  int *workerSockets;
  ProxyTrust proxies;        // ProxyProtocol=, TrustedProxies=
};

// The lists of one configuration, as a reload puts them aside.
constexpr int kRetiredLists = 7;
struct RetiredLists {
  ListItem *lists[kRetiredLists];
  uint64_t generation;  // connections made up to this one may use them
  RetiredLists *next;
};

// A request head is read whole or refused: its request line up to
// kRequestLineMost bytes (its line end aside; longer: 414), the whole head
// up to kHeadSize bytes, its empty line included (larger: 431). The header
// block is 1024 bytes, a full path 512 characters.
constexpr int kHeadSize = 16384;
constexpr int kRequestLineMost = 8192;
constexpr int kBufferSize = 2048;
constexpr int kHeaderSize = 1024;
constexpr int kFileNameSize = PATH_MAX + 1;  // a root and the path beneath it
// Basic credentials decoded: a password of 128 bytes and a user name.
constexpr int kCredentialsSize = 264;
constexpr int kAuthoritySize = 128;

// The buffers of a request, lent to a connection from the server's pool
// while it reads a head or answers, and given back when it waits idle
// between requests: an idle connection holds only its record. Each
// buffer is written whole, with its end, before it is read, so a block
// lent again is never cleared.
struct RequestSpace {
  // The request head as received, NUL-ended; bytes a client sent beyond
  // it (the start of its next request) wait behind that NUL until the
  // answer is complete.
  char head[kHeadSize + 1];
  char buffer[kBufferSize];   // body text / file data
  char header[kHeaderSize];
  char fileName[kFileNameSize];
  char location[kHeaderSize];  // the Location value of a redirect
  // User NUL password after decoding; the Base64 text is decoded in place.
  char credentials[kCredentialsSize];
  char authority[kAuthoritySize];  // the host of an absolute-form target
};

struct ListingEntries;

// What a connection is doing: receiving a request head, answering it, or
// holding a refused login's reply until its pause is over.
// kChecking: the request waits for a worker to judge its password hash;
// the connection reads and writes nothing meanwhile.
// kProxyHeader: a balancer's PROXY header is awaited (kept in the head);
// the TLS handshake and the request follow it.
enum class ConnState : char { kReading, kChecking, kResponding, kHolding, kProxyHeader };

// The methods the server tells apart: those it serves, those it knows but
// never allows on its files, and any other.
enum class Method : char { kOther, kGet, kHead, kOptions, kNotAllowed };

// Everything the server reads from a request head, found in one pass over
// it. Texts point into the connection's `head`, which stays untouched until
// the request's access line is written; field values are ended in place.
// `credentials` and `authority` point into the connection's RequestSpace,
// set before the head is parsed.
struct ParsedRequest {
  time_t startTime = 0;       // when the record was readied (log date)
  int32_t received = 0;       // bytes of the head buffer filled
  int32_t headLength = 0;     // bytes of this head, its empty line included
  // Bytes sent beyond the head (the start of the next request), and their
  // first byte, which the head's NUL end stands on until they are moved
  // to the front.
  int32_t ahead = 0;
  char aheadFirst = 0;
  uint64_t bytesReceived = 0;
  // A head that cannot be accepted: its status and built-in text (0: none).
  int status = 0;
  const char *message = nullptr;
  char method[8] = {};        // as far as it fits, for the log
  Method methodKind = Method::kOther;
  const char *target = nullptr;   // the request target, up to the line end
  // Kept for a Combined Log Format line: the request line, Referer and
  // User-Agent values, each cut to what the line holds.
  const char *line = nullptr;
  const char *referer = nullptr;
  const char *agent = nullptr;
  uint16_t lineLength = 0, refererLength = 0, agentLength = 0;
  char http11 = 0, http10 = 0;     // the version named by the request line
  char asksClose = 0, asksKeepAlive = 0;  // said by its Connection field
  char hasTransferEncoding = 0;
  int64_t contentLength = 0;
  // A GET or HEAD came with a body of contentLength bytes, which is read
  // and dropped before the next request.
  char dropsBody = 0;
  const char *host = "";      // empty when absent or virtual hosting is off
  char *authority = nullptr;  // the host of an absolute-form target
  int64_t rangeStart = 0, rangeEnd = 0;  // rangeEnd exclusive
  char rangeStartGiven = 0, rangeEndGiven = 0;
  // Validators a client sends back; null when absent or too long (which
  // only ever costs a full answer instead of 304).
  const char *ifNoneMatch = nullptr;
  const char *ifModifiedSince = nullptr;
  const char *ifRange = nullptr;
  // The compressed variants its Accept-Encoding allows (encodings.h).
  uint8_t codings = 0;
  int32_t passwordOffset = 0;   // 0: no credentials
  // User NUL password after decoding (kCredentialsSize bytes).
  char *credentials = nullptr;
  // The credentials' user keeps a hash: it was checked before resolution
  // (1 matched, 0 not; -1 no check ran) against storedHash.
  int8_t passwordMatch = -1;
  const char *storedHash = nullptr;
  bool staysOpen = false;       // the answer may keep the connection
};

// What the resolution decided for the request; the response renders it and
// nothing after the resolution changes it.
struct Decision {
  int status = 500;
  // The built-in body text for an error or redirect (null: none) and
  // whether it is the body ('1'), rather than the custom error page.
  const char *message = nullptr;
  char builtInBody = '0';
  const char *root = nullptr;  // document root chosen for this request
  int rootFd = -1;             // root held open (see ListItem); -1: by path
  char *urlPath = nullptr;     // the request path inside fileName
  // The AddVirtual prefix the request matched (null in host mode). The
  // forbidden-name walk sees it in front of the path, so one AddForbidden
  // entry can guard a whole virtual directory.
  const ListItem *virtualItem = nullptr;
  char hostMode = '0';         // '1' when the root came from AddHost
  // '1': the request went on right after a virtual prefix without '/'
  // ("/imga.gif" under "/img"), so the path is named without its '/'.
  char prefixBare = '0';
  int file = -1;               // -1 none
  char fileLent = '0';         // '1': a kept file, lent (see kept_files.h)
  int64_t fileOffset = 0;      // where the answer starts reading the file
  // Bytes of `file` to send: the announced length for a file or range (so
  // a growing file never overruns it), -1 for a custom error page, which
  // is sent to its end.
  int64_t fileLeft = 0;
  int64_t fileSize = -1;       // size of the file asked for; -1 none
  uint64_t size = 0;           // Content-length of a file body; 0: none sent
  time_t modified = 0;
  char etag[48] = {};          // the file's validator (empty: none)
  // The Content-Encoding of the file sent ("br", "gzip"; null: none), and
  // '1' when the answer depends on Accept-Encoding (a variant exists).
  const char *coding = nullptr;
  char vary = '0';
  char extension[16] = {};     // overrides the path's extension for the type
  int64_t rangeStart = 0, rangeEnd = 0;
  char rangeStartGiven = 0, rangeEndGiven = 0;
  DIR *directory = nullptr;    // open listing, null otherwise
  // The first AddHeader line of the longest prefix the path starts with;
  // every line of that prefix is sent (null: none).
  const ListItem *headers = nullptr;
  char chunked = '0';          // '1': the listing goes in chunks (HTTP/1.1)
  ListingEntries *entries = nullptr;  // its sorted entries
  // '1' while the connection is to stay open after this answer (the
  // request asked for it and its length is known).
  char keepAlive = '0';
  char http11 = '0';           // '1': the status line says HTTP/1.1
  char allow = '0';            // '1': the answer lists the methods served
  int32_t realmIndex = 0;      // forbidden entry that asked for a password
  char failedLogin = '0';      // '1': credentials were sent and refused
};

// The answer on its way out.
struct Output {
  // Where the bodyLength bytes of body text lie: the connection's buffer,
  // or the page of a listing being sent.
  char *body = nullptr;
  int32_t bodyLength = 0;
  int32_t headerLength = 0;    // bytes waiting in header
  int status = 500;            // the status line sent (and logged)
  char keepAlive = '0';       // as Decision::keepAlive, unless sending failed
  uint64_t bytesSent = 0;
  int64_t fileOffset = 0;      // where a lent file is read next
  int64_t fileLeft = 0;        // as Decision::fileLeft, counting down
  int64_t rangeSent = 0;
};

// The times at which the loop looks at the connection again (LoopNowMs
// values; 0 none).
struct Deadlines {
  int64_t headDeadline = 0;    // by which the head must be in
  int64_t progressAt = 0;      // next progress check while answering
  int64_t replyAt = 0;         // when a held reply goes
  int64_t keepAliveAt = 0;     // when a wait between requests ends
  uint64_t idleMark = 0;       // bytes moved at the last progress check
};

// One accepted client. The four sub-records are made ready for the next
// request by one assignment each; the large buffers lie in `space`, lent
// while the connection is busy (see RequestSpace).
struct Connection {
  ParsedRequest request;
  Decision decision;
  Output output;
  Deadlines deadlines;
  ConnState state;
  char secure;              // '1' when the connection came by TLSPort
  ConnIo io;                // the client socket
  PasswordCheck *check;     // kChecking: the worker's check, null none
  HttpServer *server;
  Connection *next;
  Connection *prev;
  ProxyWait proxyWait;      // kProxyHeader: what came of the header
  // Null while the connection waits for a request byte.
  RequestSpace *space;
  // Body bytes of the last request still to come and be dropped before
  // the next head begins.
  int64_t bodyLeft;
  uint32_t requests;        // answers completed on this connection
  uint64_t generation;      // the server's reload count when accepted
  // Deadlines run on one loop timer per connection: `deadline` is when the
  // connection is next looked at (0: never), `timer` the pending timer's
  // id (0: none) and `due` when it fires. A later deadline leaves the timer
  // alone; it finds the deadline still ahead and waits for the rest, so a
  // busy persistent connection costs the timer heap nothing per request.
  int64_t deadline, due;
  int64_t timer;
  char clientAddress[kAddressTextSize];
};
