// Time limits the loop keeps on each session between its events: the
// reply to a failed login, held back for a second so that guessing
// passwords is slow, and the time a session has to log in at all.
#pragma once
#include <cstdint>
#include <sys/time.h>

#include "server_records.h"

// A failed login gets its reply after this many milliseconds.
enum { kFailedLoginDelayMs = 1000 };
// Seconds a session has to log in when TimeoutTime= switches idle checks
// off (0 or less): even then a client cannot hold a slot for ever.
enum { kLoginTimeFallback = 60 };

// Milliseconds of a clock that never goes back.
int64_t NowMs();

// The session's last command was a failed login and its reply is queued:
// the reply is held back, the session reads nothing more, and the address
// is charged the failure. The loop sends the reply and ends the session
// once the delay is over (OnLoginDelayOver).
void HoldFailedLogin(Request *pReq);
// True while a session's reply is held back: the loop neither reads nor
// writes its command connection then.
bool ReplyHeld(const Request *pReq);

// Runs every pass: ends the held-back failed logins that are due and the
// sessions that did not log in within their time.
void CheckDeadlines(Server *pConfig);
// Shortens the loop's select time-out so that the next held reply is not
// late.
void DeadlineTimeout(const Server *pConfig, struct timeval *timeout);
