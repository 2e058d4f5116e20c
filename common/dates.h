// UTC date texts for log lines, HTTP headers and FTP listings.
#pragma once
#include <ctime>

extern const char *const week[7];
extern const char *const mon[12];

// "Sun, 06 Nov 1994 08:49:37"; buffer of at least 26 bytes. Empty text when
// the time cannot be broken down or the year does not fit.
int GetDateARPANET(char *buf, time_t t);
// "Nov 06 08:49"; buffer of at least 13 bytes. Empty text on failure.
int get_date(char *buf, time_t t);
