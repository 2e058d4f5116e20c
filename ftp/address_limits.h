// What one client address may hold: a share of the sessions, and a few
// failed logins a minute. A new connection that is over either limit is
// told so and closed before it becomes a session.
#pragma once
#include <ctime>

#include "server_records.h"

// Failed logins an address may have within kFailedLoginWindow seconds
// before its new sessions are turned away until the window is over.
enum { kFailedLoginLimit = 5, kFailedLoginWindow = 60 };

// The per-address session cap in force: MaxPerAddress=, or (absent or 0)
// a quarter of MaxUsers, at least 2.
uint32_t SessionsPerAddress(const Server *pConfig);

// A login from the address failed just now.
void RecordFailedLogin(const char *address, time_t now);
// True while the address has kFailedLoginLimit failures within the window.
bool LoginsBlocked(const char *address, time_t now);

// Called with a freshly accepted connection: when the address is over one
// of its limits, sends the matching 421 line, closes the socket and
// returns true; otherwise false and nothing is done.
bool RefusedAtAccept(const Server *pConfig, int sock, const char *address,
                     time_t now);
