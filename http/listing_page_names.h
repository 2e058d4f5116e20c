// The two forms a directory entry's name takes on a listing page: visible
// text and link target.
#pragma once
#include <cstddef>

// `text` with & < > " ' written as entities, into out (size bytes, NUL
// included). Returns the length, or -1 when it does not fit.
int EscapeHtml(const char *text, char *out, size_t size);
// `name` as a relative link: every byte but letters, digits and
// -._~!$()*+,;=@ as %XX in upper-case hex, the only form requests are
// decoded from. Returns the length, or -1 when it does not fit or when no
// request could name the entry (see the definition).
int EncodeHref(const char *name, char *out, size_t size);
