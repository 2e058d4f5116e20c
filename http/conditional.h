// A file's validators and the conditional requests that test them:
// If-None-Match, If-Modified-Since and If-Range.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>

// The file's strong entity tag, made of its size and modification time in
// hexadecimal ("1388-6769f2a1", quotes included), into out (size bytes).
void FormatETag(char *out, size_t size, uint64_t fileSize, time_t mtime);
// An HTTP date in any of its three forms (Sun, 06 Nov 1994 08:49:37 GMT;
// Sunday, 06-Nov-94 08:49:37 GMT; Sun Nov  6 08:49:37 1994); -1 when the
// text is none of them.
time_t ParseHttpDate(const char *text);
// True when the client's copy is current: a tag of If-None-Match (or '*')
// matches, or, only when that field is absent, the file is not newer than
// If-Modified-Since. A null value is an absent field.
bool NotModified(const char *ifNoneMatch, const char *ifModifiedSince,
                 const char *etag, time_t mtime, time_t now);
// True when the If-Range value names this version of the file: the same
// strong tag, or exactly its modification date.
bool IfRangeHolds(const char *ifRange, const char *etag, time_t mtime);
