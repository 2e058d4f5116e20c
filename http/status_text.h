// The status lines the server knows, together in one table.
#pragma once

// "200 Ok" ... for the codes the server knows; null for any other.
const char *StatusText(int status);
