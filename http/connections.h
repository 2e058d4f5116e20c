// Connection records: creation, reset, the end with its access log line.
#pragma once

struct Connection;
struct HttpServer;

// A zeroed record appended to the server's list; null when memory runs out.
Connection *AddConnection(int socket, HttpServer *server, const char *peer);
void ResetConnection(Connection *c);
void DelConnection(Connection **head, Connection *c);
// Closes files, writes the access line, closes the socket, frees the record.
// Returns the connection that followed it.
Connection *EndConnection(Connection *c);
// The answer is complete and the connection stays: writes its access line
// and makes the record ready for the next request, starting with what the
// client sent beyond the finished request.
void NextRequest(Connection *c);
// True between two requests of a persistent connection: nothing of the
// next one has arrived.
bool WaitingForNextRequest(const Connection *c);
// Lends the connection a RequestSpace from the server's pool when it has
// none (request and output point into it). 0, or -1 when out of memory.
int LendSpace(Connection *c);
// Gives the connection's RequestSpace back, if it holds one.
void ReturnSpace(Connection *c);
// Closes the open file and directory handle, if any.
void CloseFiles(Connection *c);
// kProxyHeader: reads what came of the balancer's header. Once it is whole
// the connection is the named client's (counted and limited as that
// client), its TLS begins on the encrypted port, and it reads its request
// (1). 0 while the header is still due; -1 when the connection is to end.
int TakeProxyHeader(Connection *c);
