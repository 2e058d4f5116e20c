// The access line in the Combined Log Format, for the log analysers that
// operators already use (LogFormat=combined):
//   host - user [10/Oct/2026:13:55:36 +0000] "GET /a HTTP/1.0" 200 2326 "referer" "agent"
#pragma once
#include <cstdio>

struct Connection;

// Writes the whole line, line feed included, with one formatted write.
void WriteCombinedLine(FILE *out, const Connection *c);

// Copies src into dst (size bytes, NUL-terminated) so that it stays one
// quoted field of one line: '"' and '\' are written \" and \\, control
// bytes and bytes above 0x7E (and blanks when asked) as \xHH. An escape is
// never cut in half.
void CombinedEscape(char *dst, size_t size, const char *src, size_t len,
                    bool escapeBlank = false);
