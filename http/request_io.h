// Reading a request head from the client and sending the response to it.
#pragma once

struct Connection;

// 0, or -1 when the connection must be ended.
int OnReadRequest(Connection *c);
// One step of sending; -1 when the response is complete or sending failed.
int OnWriteResponse(Connection *c);
