#include "byte_range.h"

#include "http_server.h"

namespace {

const char kRangeTooLarge[] = "Range is larger than file.";
const char kRangeNegative[] = "Range is negative.";
const char kRangeInvalid[] = "Byte range is not valid.";

int Unsatisfiable(Connection *c, const char *message) {
  c->status = 416;
  c->message = message;
  return 416;
}

}  // namespace

int DecideRange(Connection *c, int64_t size) {
  if (!c->rangeStartGiven && !c->rangeEndGiven) {
    c->status = 200;
    return 200;
  }
  if (!c->rangeStartGiven) {
    // -N: the last N bytes; a suffix longer than the file is the whole
    // file. rangeEnd holds -N (INT64_MIN at worst, so it is compared, never
    // negated); -0 starts at the end and so asks for nothing.
    c->rangeStart = c->rangeEnd < -size ? 0 : size + c->rangeEnd;
    c->rangeEnd = size;
  } else if (!c->rangeEndGiven || c->rangeEnd > size) {
    // A last byte at or past the end means the end.
    c->rangeEnd = size;
  }
  if (c->rangeStart < 0) return Unsatisfiable(c, kRangeInvalid);
  if (c->rangeStart >= size) return Unsatisfiable(c, kRangeTooLarge);
  if (c->rangeStart >= c->rangeEnd) return Unsatisfiable(c, kRangeNegative);
  c->rangeSent = 0;
  c->status = 206;
  return 206;
}
