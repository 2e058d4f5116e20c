// Data connections from the test's side: opening the passive connection a
// 227 reply names, listening for the server's active connection, and
// files of known content.
#pragma once
#include <string>

#include "harness.h"
#include "zolf_fixture.h"

// The port a "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2).\n" reply
// names; 0 when the reply is not of that form.
unsigned PassivePort(const std::string &reply);

// Sends PASV and connects to the port of the reply (optionally from
// another local address). The reply goes to *reply when given.
bool OpenPassive(harness::Conn &control, harness::Conn &data,
                 std::string *reply = nullptr, const std::string &from = "");

// One transfer as a client sees it: the reply to the command, what the
// data connection carried, and the final reply.
struct Transfer {
  std::string start, data, end;
};
// PASV, connect, the command (RETR, LIST...), everything the data
// connection carries until the server closes it, the final reply.
Transfer Download(harness::Conn &control, const std::string &command);
// PASV, connect, the command (STOR, APPE), the bytes, close, final reply.
Transfer Upload(harness::Conn &control, const std::string &command, const std::string &bytes);

// The port a "229 Entering Extended Passive Mode (|||port|)" reply names;
// 0 when the reply is not of that form.
unsigned ExtendedPort(const std::string &reply);
// EPSV, a connection to its port at `host`, the command, everything the
// data connection carries, the final reply.
Transfer ExtendedDownload(harness::Conn &control, const std::string &command,
                          const std::string &host = "127.0.0.1");

// Bytes that differ at every position of a period longer than any buffer
// of the server, so that a lost, doubled or shifted piece shows.
std::string Pattern(size_t n, unsigned seed = 1);

// Starts zolf with the given keys and data ports starting at *dataPort
// (chosen here, well away from the command port).
bool StartWithDataPort(Zolf &z, const std::string &keys, unsigned *dataPort);

// The server's own CPU time so far, in clock ticks (user + system).
long CpuTicks(const harness::Process &proc);

// A listening socket on 127.0.0.1 (or ::1) for the server's active (PORT,
// EPRT) connection.
class ActiveListener {
 public:
  explicit ActiveListener(bool ipv6 = false);
  ~ActiveListener();
  ActiveListener(const ActiveListener &) = delete;
  ActiveListener &operator=(const ActiveListener &) = delete;
  // "127,0,0,1,p1,p2" for the PORT command.
  std::string PortArgument() const;
  unsigned port() const { return port_; }
  // Waits for the server's connection and reads until it closes.
  std::string AcceptAndReadAll(double seconds = 10);

 private:
  int fd_ = -1;
  unsigned port_ = 0;
};
