#include "byte_range.h"

#include "http_server.h"

namespace {

const char kRangeTooLarge[] = "Range is larger than file.";
const char kRangeNegative[] = "Range is negative.";
const char kRangeInvalid[] = "Byte range is not valid.";

int Unsatisfiable(Decision *d, const char *message) {
  d->status = 416;
  d->message = message;
  return 416;
}

}  // namespace

int DecideRange(Decision *d, int64_t size) {
  if (!d->rangeStartGiven && !d->rangeEndGiven) {
    d->status = 200;
    return 200;
  }
  if (!d->rangeStartGiven) {
    // -N: the last N bytes; a suffix longer than the file is the whole
    // file. rangeEnd holds -N (INT64_MIN at worst, so it is compared, never
    // negated); -0 starts at the end and so asks for nothing.
    d->rangeStart = d->rangeEnd < -size ? 0 : size + d->rangeEnd;
    d->rangeEnd = size;
  } else if (!d->rangeEndGiven || d->rangeEnd > size) {
    // A last byte at or past the end means the end.
    d->rangeEnd = size;
  }
  if (d->rangeStart < 0) return Unsatisfiable(d, kRangeInvalid);
  if (d->rangeStart >= size) return Unsatisfiable(d, kRangeTooLarge);
  if (d->rangeStart >= d->rangeEnd) return Unsatisfiable(d, kRangeNegative);
  d->status = 206;
  return 206;
}
