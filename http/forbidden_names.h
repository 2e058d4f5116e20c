// Forbidden names (AddForbidden) and the users they let in (AddUser).
//
// An entry guards what it names by any route: the request path as the
// client wrote it (behind its virtual prefix), and the place the file
// really is, as every configured root that holds it would name it; so a
// second prefix, a virtual host or a link inside the site reaching the same
// directory meets the same entries. Every entry found applies: a name under
// several of them needs credentials that each accepts, and the most
// specific entry still unsatisfied is the realm that asks.
#pragma once

struct Connection;

// Collapses runs of '/' and "/./" segments in place ("/." at the end
// leaves the '/'), so that no spelling of a path slips past a name.
void NormalisePath(char *path);
// 200 (pass), 401 (password needed, realmIndex set) or 403 (forbidden) for
// `text` (the Host value), after the safety checks on the request path.
int CheckAccess(Connection *c, const char *text);
// The same for the request path at c->urlPath (the file at c->fileName),
// by every route that reaches it.
int CheckPathAccess(Connection *c);
// The hash the credentials' user keeps (checked before the resolution),
// or null when there is no such user or its password is clear text.
const char *StoredHashOf(const Connection *c);
// 0 when the credentials name `user` with the right password.
int CheckUser(Connection *c, const char *user);
