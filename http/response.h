// Rendering the decision of the resolution: the response header block and
// the start of the body. Nothing here opens a file or changes the decision.
#pragma once

struct Connection;

// Fills c->header and the start of c->output from c->decision: the
// built-in body text, or the head of a listing. Always 0: a block that
// would not fit goes out as a bare 500 instead (c->output.status then says
// 500).
int BuildHeader(Connection *c);
