// The one clock of the servers' deadlines and of the loop's timers.
#pragma once
#include <cstdint>

// Milliseconds of a monotonic clock: it never jumps with the wall clock, so
// a deadline set with it cannot come early or never.
int64_t NowMs();
