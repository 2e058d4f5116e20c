// What one client may hold of the server: connections per address, the time
// its request head may take, and the pause before a refused password is
// answered. The loop's timers act on the deadlines set here.
#pragma once
#include <cstdint>

struct Connection;
struct HttpServer;

// Milliseconds of a clock that never jumps (for deadlines only).
int64_t NowMs();
// MaxPerAddress when the key is absent or 0: a quarter of MaxConnections,
// at least 2.
uint32_t DefaultMaxPerAddress(uint32_t maxConnections);
// Counts c for its address and tells whether the address now holds more
// connections than MaxPerAddress allows, c included. One look into a hash
// table, not a walk over every connection.
bool OverAddressLimit(HttpServer *s, Connection *c);
// Takes an ended connection out of its address's count.
void UncountAddress(HttpServer *s, Connection *c);
// The table for MaxConnections; 0, or -1 when out of memory.
int InitAddressCounts(HttpServer *s);
void FreeAddressCounts(HttpServer *s);
// Starts the head deadline of a new connection (none when Timeout <= 0).
void StartHeadDeadline(Connection *c);
// After the response was decided: a 401 for wrong credentials is held for
// a second before it goes (the connection waits holding it, its socket
// unwatched, until its timer releases it). True when the reply is held.
bool HoldFailedLogin(Connection *c);
