// zolf: command line, start-up, the main loop, and a clean end on SIGINT
// and SIGTERM.
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "accounts.h"
#include "network.h"
#include "passwords.h"
#include "rotating_log.h"
#include "server_config.h"
#include "server_loop.h"
#include "sockets.h"
#include "startup.h"

static const char kDefaultConfig[] = "zolf.ini";
static const char kUsage[] =
    "ZOLF by Orvald.\n"
    "Parameters: [-config FILE] \n"
    "-config FILE : Where FILE is the configuration file to be used\n";
static const char kConfigFailed[] = "Initializing server configuration failed!\n";
static const char kNetFailed[] = "Initializing server failed!\n";
static const char kLogFailed[] = "Failed to initialize the log.\n";
static const char kRunning[] = "%s by Orvald is running on port %d [%s].\n";
static const char kDataPorts[] =
    "Data port range is %d to %d.\n"
    "Allow server action on these ports if you are using passive FTP (PASV).\n";
static const char kWaiting[] = "Waiting for connections...\n";
static const char kTerminated[] = "%s terminated.\n";

int main(int argc, char **argv) {
  // Banners must show at once under a pipe or a service manager.
  setvbuf(stdout, nullptr, _IOLBF, 0);

  const char *configFile = kDefaultConfig;
  for (int i = 1; i < argc; i++) {
    // -hash reads a password and prints its hash for PassWord=.
    if (strcmp(argv[i], "-hash") == 0) return PrintPasswordHash(stdin, stdout) == 0 ? 0 : 1;
    // -recount NAME: the account's bytes stored, counted afresh from its
    // root (after a restore or a copy made outside FTP).
    if (strcmp(argv[i], "-recount") == 0 && i + 1 < argc) {
      char home[kHomeSize];
      if (!getcwd(home, sizeof home)) return 1;
      return RecountAccount(home, argv[i + 1]) == 0 ? 0 : 1;
    }
    if (strcmp(argv[i], "-config") == 0 && i + 1 < argc) {
      configFile = argv[++i];
      continue;
    }
    fputs(kUsage, stdout);
    return 0;
  }

  IgnoreSigpipe();
  CatchStopSignals();

  static Server server;
  static Log log;
  if (InitConfig(&server, configFile, &log) != 0) {
    fputs(kConfigFailed, stderr);
    return -1;
  }
  if (InitNet(&server) != 0) {
    fputs(kNetFailed, stderr);
    CloseServer(&server);
    return -1;
  }
  InitLog(&log);
  if (OpenLog(&log) != 0) fputs(kLogFailed, stderr);
  // Ports bound, keys loaded, the log open: root is needed no more.
  if (DropPrivileges(server.runAs) != 0) {
    CloseServer(&server);
    return -1;
  }

  printf(kRunning, server.serverName, (int)server.Port, server.Address);
  printf(kDataPorts, (int)server.DataPort, (int)(server.DataPort + server.MaxUsers));
  fputs(kWaiting, stdout);

  RunServer(&server);

  CloseAllRequests(&server);
  CloseLog(&log);
  CloseConnection(server.listenSocket);
  server.listenSocket = -1;
  printf(kTerminated, server.serverName);
  return 0;
}
