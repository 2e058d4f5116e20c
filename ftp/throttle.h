// The server-wide bandwidth limit (MaximumBandwidth). All throttled
// sessions, downloads and uploads alike, share one measuring window: the
// bytes in Server::bandwidthBytes, counted since Server::bandwidthStart.
#pragma once
#include <ctime>
#include <sys/time.h>

#include "server_records.h"

// True when the session's transfers count against MaximumBandwidth.
bool Throttled(const Request *pReq);

// The gate in front of a throttled socket operation that would move
// `count` bytes: 0 to go on, -1 to skip this turn. `now` in seconds.
int ThrottleGate(Server *pConfig, uint64_t count, time_t now);
// The gate at the current time.
int Throttle(Request *pReq, uint64_t count);

// True while the session is throttled and the current window is spent:
// its turn would only be skipped, so the loop need not wait on its socket.
bool ThrottleWaits(const Request *pReq);

// Shortens *timeout so that the loop wakes when a spent window can end.
void ThrottleTimeout(const Server *pConfig, struct timeval *timeout);
