// The waiting backend under the event loop: one implementation per
// platform, chosen at build time (event_wait_epoll.cpp on Linux,
// event_wait_select.cpp elsewhere). Only event_loop.cpp uses it.
#pragma once

struct WaitSet;

// Largest set the backend can hold, given what the caller asks for.
int WaitCapacity(int want);
WaitSet *WaitCreate(int setSize);
void WaitFree(WaitSet *set);
// Moves fd from mask `before` to mask `after` (kLoopReadable,
// kLoopWritable); 0 or -1.
int WaitChange(WaitSet *set, int fd, int before, int after);
// Waits at most timeoutMs (-1: no limit) and reports up to `room` ready
// descriptors with what they are ready for. The count, 0 on time-out or
// interruption, -1 on failure.
int WaitReady(WaitSet *set, int timeoutMs, int *fds, int *ready, int room);
const char *WaitBackendName();
// Whether closing a descriptor takes it out of the set by itself (epoll's
// does, for a descriptor no other holds; select's sets keep its bit).
bool WaitDropsClosed();
