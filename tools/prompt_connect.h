// The two helpers the interactive test clients share: reading one typed
// line into a fixed buffer, and connecting to a server by address or name.
#pragma once
#include <cstddef>

// Reads one line of standard input into buf (at most size - 1 characters,
// the line feed replaced by NUL). A line that does not fit is cut and the
// rest of it is dropped, so the next call reads the next line. Standard
// output is flushed first so that the prompt is on screen. -1 at end of
// input, else 0.
int InputString(char *buf, size_t size);

// TCP connection to addr:port, where addr is a numeric address of either
// family or a host name (each of its addresses is tried in turn). Prints
// "Creating socket failed." or "Connect failed." as a line and returns -1
// on failure; else the (blocking) socket.
int ConnectToServer(const char *addr, int port);
