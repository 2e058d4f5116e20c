// The session's command and data connections through the common connection
// layer, plain or TLS. A session keeps each connection as its descriptor
// and its TLS state; these calls lend both to the layer and note what a
// call that has to wait is waiting for, so the loop can watch for it.
#pragma once
#include <sys/types.h>

#include "server_records.h"

// As ConnRead, ConnWrite and ConnSendFile: bytes (0 at the end), kConnWait
// (the readiness to wait for is then in cmndWant or xferWant), or -1.
ssize_t CmndRead(Request *pReq, void *buf, size_t len);
ssize_t CmndWrite(Request *pReq, const void *buf, size_t len);
ssize_t XferRead(Request *pReq, void *buf, size_t len);
ssize_t XferWrite(Request *pReq, const void *buf, size_t len);
ssize_t XferSendFile(Request *pReq, int file, size_t len);
// The loop forgets a session's socket; called before the socket is closed,
// so that a number the system hands out again starts unwatched.
void ForgetSocket(Request *pReq, int fd);
// Closing alert (TLS), bounded drain, close; the descriptor becomes -1.
void CloseCmnd(Request *pReq);
void CloseXfer(Request *pReq);
// TLS on the command connection, or on a new data connection. 0 or -1.
int StartCmndTls(Request *pReq);
int StartXferTls(Request *pReq);
// True while decrypted bytes wait inside a connection: the socket will
// not say so, the loop must come back at once.
bool CmndBytesWait(const Request *pReq);
bool XferBytesWait(const Request *pReq);
// The readiness a socket is to be watched for: what the last call waited
// for, else `natural` (what the session's state wants).
int CmndWatch(const Request *pReq, int natural);
int XferWatch(const Request *pReq, int natural);
