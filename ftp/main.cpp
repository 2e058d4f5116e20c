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
#include "tls.h"

static const char kDefaultConfig[] = "zolf.ini";
static const char kUsage[] =
    "ZOLF by Orvald.\n"
    "Parameters: [-config FILE] [-t] [-v] [--help] [-hash] [-recount NAME]\n"
    "-config FILE : Where FILE is the configuration file to be used\n"
    "-t : Check the configuration and every account file, start nothing\n"
    "-v, --version : Print the name and version\n"
    "--help : Print this text\n"
    "-hash : Read a password and print its hash for PassWord=\n"
    "-recount NAME : Count the bytes account NAME stores afresh from its root\n";
static const char kVersion[] = "zolf (ZOLF/1.7.1)\n";
static const char kConfigSound[] = "Configuration %s is sound.\n";
static const char kConfigFaulty[] = "Configuration %s is faulty.\n";
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
  const char *recountName = nullptr;
  // More options are added here, one line each.
  const CommandOption options[] = {
      {"-config", nullptr, &configFile, CommandAction::kRun},
      {"-t", nullptr, nullptr, CommandAction::kCheck},
      {"-v", "--version", nullptr, CommandAction::kVersion},
      {"--help", "-h", nullptr, CommandAction::kHelp},
      // -hash reads a password and prints its hash for PassWord=.
      {"-hash", nullptr, nullptr, CommandAction::kHash},
      // -recount NAME: the account's bytes stored, counted afresh from its
      // root (after a restore or a copy made outside FTP).
      {"-recount", nullptr, &recountName, CommandAction::kRun},
  };
  CommandAction action =
      ReadCommandLine(argc, argv, options, sizeof options / sizeof options[0]);
  int answered = AnswerCommandLine(action, kUsage, kVersion);
  if (answered >= 0) return answered;
  switch (action) {
    case CommandAction::kCheck: {
      static Server server;
      static Log log;
      int faults = InitConfig(&server, configFile, &log) != 0 ? 1 : 0;
      faults += CheckAccountFiles(&server);
      CloseServer(&server);
      printf(faults ? kConfigFaulty : kConfigSound, configFile);
      return faults ? 1 : 0;
    }
    case CommandAction::kHash:
      return PrintPasswordHash(stdin, stdout) == 0 ? 0 : 1;
    default:
      break;
  }
  if (recountName) {
    char home[kHomeSize];
    if (!getcwd(home, sizeof home)) return 1;
    return RecountAccount(home, recountName) == 0 ? 0 : 1;
  }

  IgnoreSigpipe();
  CatchStopSignals();

  static Server server;
  static Log log;
  if (InitConfig(&server, configFile, &log) != 0) {
    fputs(kConfigFailed, stderr);
    return -1;
  }
  server.configFile = configFile;
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
  if (server.tlsContext) printf("%s\n", TlsSendsText());
  fputs(kWaiting, stdout);

  RunServer(&server);

  AnnounceClosing(&server);
  CloseAllRequests(&server);
  CloseLog(&log);
  CloseConnection(server.listenSocket);
  server.listenSocket = -1;
  printf(kTerminated, server.serverName);
  return 0;
}
