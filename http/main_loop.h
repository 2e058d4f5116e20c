// The select() loop of the HTTP server and the handlers it dispatches to.
#pragma once
#include <csignal>
#include <sys/select.h>

struct HttpServer;

// Set from a signal handler; the loop ends at the next pass.
extern volatile sig_atomic_t stopRequested;

int setfds(fd_set *readSet, fd_set *writeSet, fd_set *exceptSet,
           HttpServer *server);
void CheckIdle(HttpServer *server);
void OnAccept(HttpServer *server);
// Serves until stopRequested is set.
void RunLoop(HttpServer *server);
