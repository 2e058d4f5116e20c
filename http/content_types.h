// The content types the server knows without an AddType line.
#pragma once

// The type for an extension (with its dot, any letter case), or null when
// the extension is not in the table. Text types name their charset.
const char *BuiltInType(const char *extension);
