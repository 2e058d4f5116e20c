// Time limits the loop keeps on each session as timers: the reply to a
// failed login, held back for a second so that guessing passwords is slow,
// the time a session has to log in at all, and the idle check.
#pragma once
#include <cstdint>

#include "server_records.h"

// Seconds a session has to log in when TimeoutTime= switches idle checks
// off (0 or less): even then a client cannot hold a slot for ever.
enum { kLoginTimeFallback = 60 };

// The session's last command was a failed login and its reply is queued:
// the reply is held back, the session reads nothing more, and the address
// is charged the failure. A timer sends the reply and ends the session
// once the delay is over.
void HoldFailedLogin(Request *pReq);
// True while a session's reply is held back: the loop neither reads nor
// writes its command connection then.
bool ReplyHeld(const Request *pReq);

// Starts a new session's login time and idle checks on the server's loop.
void StartSessionClocks(Request *pReq);
// The session has logged in: its login time is over, and its timer goes
// rather than wait out the limit (a timer per idle session is memory).
void StopLoginClock(Request *pReq);
