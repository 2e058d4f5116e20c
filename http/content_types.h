// The content types the server knows without an AddType line.
#pragma once
#include <cstddef>

// The type for an extension (with its dot, any letter case), or null when
// the extension is not in the table. Text types name their charset.
const char *BuiltInType(const char *extension);

// The types of a mime.types file (lines "type ext ext..."; '#' starts a
// comment), read once at the start: extensions in lower case, sorted, so
// a lookup costs a binary search. An entry whose type the built-in table
// names too holds the built-in text (with its charset).
struct SystemTypes {
  char *text = nullptr;        // the file, its tokens ended in place
  struct Entry {
    const char *extension;     // without its dot
    const char *type;
  } *entries = nullptr;
  size_t count = 0;
};
// Reads path into t (a missing or unreadable file leaves it empty). 0, or
// -1 when memory ran out.
int LoadSystemTypes(SystemTypes *t, const char *path);
void FreeSystemTypes(SystemTypes *t);
// The type for an extension (with its dot, any letter case); null: none.
const char *SystemType(const SystemTypes *t, const char *extension);
