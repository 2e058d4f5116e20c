// Starting the real zolf in a temporary directory with a generated
// configuration on free loopback ports, and talking to it like a client.
#pragma once
#include <string>

#include "harness.h"

struct Zolf {
  harness::TempDir dir;
  harness::Server server;
  unsigned port = 0;
  std::string host = "127.0.0.1";  // where Connect and Login go ("::1")

  // "Port=" and "DataPort=" are added; `keys` holds the rest, one per line.
  // The first line of the file is a comment: the reader never sees it.
  std::string Ini(const std::string &keys, unsigned dataPort = 0);
  // Writes zolf.ini and starts the server in dir; false (with the server's
  // output shown) when it does not come up.
  bool Start(const std::string &keys = "MaxUsers=4\nTimeoutTime=2\n");
  // Writes accounts/NAME.ini (a comment line is put first).
  void Account(const std::string &name, const std::string &keys);
  // A ready-made account: password pw, root `root` (created), the given
  // AddCommand= words.
  std::string Root() const { return dir / "root"; }
  void SimpleAccount(const std::string &name, const std::string &pw,
                     const std::string &grants = "", const std::string &extra = "");
  // Sets the account's AllowIPAddress= (ALL in SimpleAccount) to `address`.
  void Allow(const std::string &user, const std::string &address);
  // Makes a self-signed certificate in dir; returns the keys naming it.
  std::string TlsKeys();
  // Connects and reads the greeting; false unless it is "220 Ready.\n".
  bool Connect(harness::Conn &c, const std::string &from = "");
  // Connects and logs in with USER/PASS; false unless both replies fit.
  bool Login(harness::Conn &c, const std::string &user, const std::string &pw);
  std::string Log() const { return harness::ReadFile(dir / "log0001.log"); }
  std::string Stderr() const { return server.proc.Stderr(); }
};

// Sends one command line (CR LF added) and returns the reply line.
std::string Cmd(harness::Conn &c, const std::string &line);

// Runs zolf to its end with the given arguments in dir (bounded); returns
// the exit status, fills out/err.
int RunZolf(const std::string &dir, const std::vector<std::string> &args,
            std::string *out, std::string *err);
