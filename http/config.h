// Reading mirt.ini into the HttpServer and Log records.
#pragma once

struct HttpServer;
struct ListItem;
struct Log;

// 0, or -1 after printing the reason on standard error.
int InitConfig(const char *path, HttpServer *server, Log *log);
// Appends a copy of text (length + 2 bytes, the last two NUL) to the list.
ListItem *AddListItem(ListItem **head, const char *text);
void FreeList(ListItem **head);
