// The HTTP server's loop: the listening socket and every connection on
// the shared event loop, each readiness going to its named handler, and
// one deadline timer per connection.
#pragma once
struct HttpServer;

// Raises the descriptor limit for MaxConnections (warning when it stays
// lower) and creates the server's loop. 0, or -1 when the loop cannot be
// made.
int InitLoop(HttpServer *server);
void CloseLoop(HttpServer *server);
// Takes waiting clients from the listen queue of `listener` (the plain or
// the TLS listening socket) while places are free.
void OnAccept(HttpServer *server, int listener);
// Watches both listening sockets for clients (mask kLoopReadable) or
// neither (0).
void WatchListeners(HttpServer *server, int mask);
// Serves until a stop is requested (StopRequested).
void RunLoop(HttpServer *server);
// A worker process of Workers= (a WorkerPool's run): takes its listening
// sockets and its place in the shared client table, makes its loop and
// serves until a stop; then ends its connections and closes the log. The
// exit status.
int RunWorker(int index, void *record);
