// The records of the HTTP server: the process-wide HttpServer, one
// Connection per accepted client, and ListItem for the repeated settings.
#pragma once
#include <cstdint>
#include <ctime>
#include <dirent.h>

#include "addresses.h"
#include "client_limits.h"
#include "conn_io.h"

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
  uint32_t maxConnections;
  uint32_t clients;
  int backlog;
  int port;
  int timeout;               // idle limit in seconds; <= 0 none
  ListItem *forbidden;
  ListItem *types;
  ListItem *virtuals;
  Connection *connections;   // oldest first
  Connection *lastConnection;  // its tail: a new client is added in O(1)
  const char *defaultHost;   // last AddHost name when hosts are on
  ListItem *hosts;
  ListItem *users;
  ListItem *indexes;
  Log *log;
  // Seconds a persistent connection waits for its next request; 0: every
  // connection closes after its answer.
  int keepAliveTimeout;
  EventLoop *loop;           // null outside the running server (tests, fuzz)
  char logFormat;            // 'm' the server's own line, 'c' Combined
  // Connections per client address, failed logins (ten a minute, then
  // 401 for every guarded name), the listeners' rest.
  ClientLimits limits;
  // HTTPS beside plain HTTP: a second listener whose connections are TLS
  // (TLSPort 0: none). Redirects on it start with tlsBaseURL.
  int tlsPort;
  int tlsListenSocket;
  SSL_CTX *tlsContext;
  char tlsCertificate[256];
  char tlsKey[256];
  char tlsBaseURL[256];
};

// Sizes fixed by the design: a request head must fit the 2048-byte buffer
// with its NUL, the header block 1024 bytes, a full path 512 characters.
constexpr int kBufferSize = 2048;
constexpr int kHeaderSize = 1024;
constexpr int kFileNameSize = 513;

struct Connection {
  char credentials[64];     // user NUL password after decoding
  int32_t passwordOffset;   // 0: no credentials
  int32_t bodyLength;       // bytes waiting in buffer
  int32_t headerLength;     // bytes waiting in header
  int32_t realmIndex;       // forbidden entry that asked for a password
  char buffer[kBufferSize]; // the request head, then body text / file data
  // Where the bodyLength bytes of body text lie: buffer, or the page of a
  // listing being sent.
  char *body;
  char header[kHeaderSize];
  char state;               // '0' reading the request, '1' responding,
                            // '2' holding a refused login's reply
  int status;               // 500 until decided
  char fileName[kFileNameSize];
  char *urlPath;            // the request path inside fileName
  char clientAddress[kAddressTextSize];
  char method[8];
  const char *root;         // document root chosen for this request
  int rootFd;               // root held open (see ListItem); -1: by path
  uint64_t bytesSent;
  uint64_t bytesReceived;
  uint64_t idleMark;
  int64_t contentLength;
  int64_t rangeStart, rangeEnd, rangeSent;  // rangeEnd exclusive
  char rangeEndGiven, rangeStartGiven;
  ConnIo io;                // the client socket
  int file;                 // -1 none
  char fileLent;            // '1': file is a kept one, lent (see kept_files.h)
  int64_t fileOffset;       // where a lent file is read next
  time_t startTime;
  time_t lastActive;
  HttpServer *server;
  Connection *next;
  Connection *prev;
  DIR *directory;           // open listing, null otherwise
  time_t modified;
  uint64_t size;            // Content-length of the body; 0: none sent
  char extension[16];       // overrides the path's extension for the type
  // Bytes of `file` still to send: the announced length for a file or range
  // (so a growing file never overruns it), -1 for a custom error page, which
  // is sent to its end.
  int64_t fileLeft;
  // The AddVirtual prefix the request matched (null in host mode). The
  // forbidden-name walk sees it in front of the path, so one AddForbidden
  // entry can guard a whole virtual directory.
  const ListItem *virtualItem;
  char hostMode;            // '1' when the root came from AddHost
  char secure;              // '1' when the connection came by TLSPort
  // '1': the request went on right after a virtual prefix without '/'
  // ("/imga.gif" under "/img"), so the path is named without its '/'.
  char prefixBare;
  // What the resolution decided, for the response to render: the text of
  // the built-in body for an error or redirect (null: none), the Location
  // value of a redirect, and the file's validator (empty: none).
  const char *message;
  char location[kHeaderSize];
  char etag[40];
  int64_t fileSize;         // size of the file asked for; -1 none
  // The sorted entries of an open listing (null otherwise).
  struct ListingEntries *entries;
  // Persistence: '1' while the connection is to stay open after this
  // answer (the request asked for it and its length is known).
  char keepAlive;
  uint32_t requests;        // answers completed on this connection
  // Deadlines run on one loop timer per connection: `deadline` is when the
  // connection is next looked at (0: never), `timer` the pending timer's
  // id (0: none) and `due` when it fires. A later deadline leaves the timer
  // alone; it finds the deadline still ahead and waits for the rest, so a
  // busy persistent connection costs the timer heap nothing per request.
  int64_t deadline, due;
  int64_t timer;
  int64_t keepAliveAt;      // LoopNowMs at which a wait between requests ends
  int64_t progressAt;       // LoopNowMs of the next progress check while
                            // answering; 0 none
  // Bytes received after the current request's head: the start of the
  // next request of a client that sends before it has its answer. The
  // room (kBufferSize bytes) is taken when a client first needs it and
  // kept until the connection ends: most clients never send ahead, and an
  // idle connection should cost as little as it can.
  int32_t pipelinedLength;
  char *pipelined;
  // Kept from the request head for a Combined Log Format line (filled only
  // with LogFormat=combined); longer values are cut.
  char requestLine[1024];
  char referer[512];
  char agent[512];
  int64_t headDeadline;     // NowMs by which the head must be in; 0 none
  int64_t replyAt;          // NowMs at which a held reply goes (state '2')
  char failedLogin;         // '1': credentials were sent and refused
};
