// Network start and shutdown of the HTTP server.
#pragma once

struct HttpServer;

// Listens on address:port (with Workers= above 1, one socket per worker
// and port) and, for a single process, makes the loop; 0, or -1 after
// printing the failed step.
int InitNet(HttpServer *server);
// In worker `index` once forked: its own listening sockets become the
// server's, the other workers' are closed.
void TakeWorkerSockets(HttpServer *server, int index);

// Makes baseURL the start of every Location: no trailing '/', and ":PORT"
// after the host of an http:// base that names no port when the server
// does not listen on 80.
void CompleteBaseURL(HttpServer *server);
// Ends every open connection (each writes its access line), frees the
// configuration lists and closes the listening socket.
int CloseServer(HttpServer *server);
// SIGHUP: reads the configuration again. A faulty file is reported and
// the running settings kept; a sound one serves connections made from now
// on, while those already open finish on the lists they started with.
// 0 when reloaded. The master of several workers reloads its own record
// (a worker started later begins with it) and says what needs a restart
// (new listeners, log directory or ring, number of workers); the workers
// reload after it without a word.
int ReloadServer(HttpServer *server);
// Frees the lists put aside by reloads that no open connection can use.
void DropRetiredLists(HttpServer *server, bool all);
