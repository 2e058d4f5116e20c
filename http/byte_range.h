// The answer to a Range field for a file of a known size.
#pragma once
#include <cstdint>

struct Decision;

// From the asked range (d->rangeStart, d->rangeEnd and their flags, as
// parsed) and the file's size: 200 when no range was asked for, 206 with
// d->rangeStart and d->rangeEnd (exclusive) set to the bytes to send, or
// 416 with its message in d->message. Leaves the status in d->status too.
int DecideRange(Decision *d, int64_t size);
