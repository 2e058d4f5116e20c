// The summary as JSON, for scripts: totals, per day, statuses and the top
// tables, with the same figures as the text and HTML reports.
#pragma once
#include <cstdio>

#include "log_summary.h"

// -1 when writing failed.
int WriteJsonReport(const Summary &s, FILE *out);
