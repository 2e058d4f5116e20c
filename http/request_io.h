// Reading a request head from the client and sending the response to it.
#pragma once

struct Connection;

// 0, or -1 when the connection must be ended.
int OnReadRequest(Connection *c);
// One step of sending; -1 when the response is complete or sending failed
// (keepAlive then tells whether the connection may serve another request).
int OnWriteResponse(Connection *c);
// After a complete answer on a persistent connection: readies the record
// for the next request and answers it at once when the client sent it
// already. As OnReadRequest.
int ServeNext(Connection *c);
// A request in kChecking: the worker judged its password; resolution and
// the answer follow. As OnReadRequest.
int ContinueResponse(Connection *c, bool match);
