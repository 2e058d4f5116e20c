// The virtual tree of a session: "/" is the account's root directory, cwd
// the current directory inside it ("/", "/pub/", ...). Every real path the
// server touches is built here from root, cwd and a client argument, and
// every argument passes the path guards first, which is what keeps a client
// below its root: no "..", no ':', no "//", no "\\\\" ever gets through.
#pragma once
#include <climits>
#include <cstddef>
#include <sys/stat.h>

#include "server_records.h"

// Room for a real path (root, cwd and argument joined): what the system
// takes. A longer join is refused as a name too long.
enum { kRealPathSize = PATH_MAX };

// True when the argument holds a forbidden sequence ("\\\\", "//", ':',
// "..").
bool PathGuardsFail(const char *argument);

// root + argument (argument beginning with '/') or root + cwd + argument
// into out. 0, or -1 when the argument is refused or the path does not fit.
// An empty argument names the current directory.
int CreateAbsolutePath(char *out, size_t size, const char *root,
                       const char *cwd, const char *argument);

// The direct join of DELE, MKD, RMD, RETR, STOR and APPE: the session's
// argument checked by the guards (refused with guardReply), an empty one
// refused with missingReply, "/" alone with the 550 reply; otherwise out
// receives root + argument or root + cwd + argument. Returns 0 when out
// holds the path, else the code of the reply it queued (550).
int DirectJoin(Request *pReq, char *out, size_t size, const char *guardReply,
               const char *missingReply);

// An argument with ".." steps ("../x", "a/../../b") written as the
// absolute virtual path it names from cwd, into out; the guards then judge
// the result as any other argument. -1 when a step would leave the root or
// the path does not fit. Arguments without ".." are copied as they are.
int ResolveDotDot(const char *cwd, const char *argument, char *out, size_t size);

// The virtual path ("/a/b") of a real path built by the calls above, any
// trailing '/' dropped.
void VirtualPathOf(const Request *pReq, const char *real, char *out, size_t size);

// stat() of a path that may end in '/' (that one '/' is ignored). Returns
// what stat returns. The path is left as it was.
int stat_chk(char *path, struct stat *st);

// The navigation commands; each queues its reply and returns its code.
// "CWD .." is rewritten into CDUP, which the dispatcher then runs.
int DoCWD(Request *pReq);
int DoCDUP(Request *pReq);
