// The answer to a Range field for a file of a known size.
#pragma once
#include <cstdint>

struct Connection;

// From the parsed range (c->rangeStart, c->rangeEnd and their flags) and
// the file's size: 200 when no range was asked for, 206 with c->rangeStart
// and c->rangeEnd (exclusive) set to the bytes to send, or 416 with its
// message in c->message. Leaves the status in c->status too.
int DecideRange(Connection *c, int64_t size);
