// The summary as one self-contained HTML page: bar charts drawn as inline
// SVG and tables, no scripts, no style sheets or fonts from elsewhere, so
// that it opens in any browser from the disk or a mail attachment.
#pragma once
#include <cstdio>

#include "log_summary.h"

// -1 when writing failed.
int WriteHtmlReport(const Summary &s, FILE *out);

// Copies len bytes into dst (size bytes, NUL-terminated) so that they show
// as text in a page: control bytes as \xHH, and & < > " ' as entities.
void HtmlText(char *dst, size_t size, const char *src, size_t len);
