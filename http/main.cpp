// mirt: an HTTP/1.0 file server on one event loop.
#include <cstdio>
#include <cstring>

#include "config.h"
#include "connections.h"
#include "http_server.h"
#include "main_loop.h"
#include "network.h"
#include "passwords.h"
#include "rotating_log.h"
#include "sockets.h"
#include "startup.h"
#include "tls.h"

namespace {

const char kUsage[] =
    "Mirt HTTP Server By Orvald.\n"
    "Parameters: [-config FILE] [-t] [-v] [--help] [-hash]\n"
    "-config FILE : Where FILE is the configuration file to be used\n"
    "-t : Check the configuration, start nothing\n"
    "-v, --version : Print the name and version\n"
    "--help : Print this text\n"
    "-hash : Read a password and print its hash for AddUser=\n";
const char kVersion[] = "mirt (Mirt/1.7.1)\n";
const char kFaulty[] = "Configuration is faulty!\n";
const char kConfigOk[] = "Configuration is okey! Configuration file is %s.\n";
const char kUnableToStart[] = "Unable to start %s.\n";
const char kNoLog[] = "Failed to initialize the log.\n";
const char kWebRoot[] = "Default web root directory is %s\n";
const char kRunning[] = "%s by Orvald is running on port %d [%s].\n";
const char kRunningTls[] = "HTTPS is served on port %d.\n";
const char kWaiting[] = "Waiting for connections...\n";
const char kTerminated[] = "Server terminated...\n";

const char kWorkers[] = "%d worker processes serve.\n";
const char kNoShared[] = "Could not share the client table and the log between workers.\n";

// The master reloads its own record: a faulty file stops the workers from
// being told, and a worker started later begins with what the others serve.
bool ReloadOf(void *record) {
  HttpServer *server = static_cast<HttpServer *>(record);
  if (ReloadServer(server) != 0) return false;
  DropRetiredLists(server, true);
  return true;
}

void ReopenLogOf(void *record) {
  // The master writes no line; its log is the one a worker started later
  // inherits, so it follows the file's new name too.
  Log *log = static_cast<HttpServer *>(record)->log;
  if (log) ReopenLog(log);
}

// Workers= above 1: this process starts the workers and watches over them
// until a stop; the exit status.
int RunWorkers(HttpServer *server, Log *log) {
  int status = 0;
  if (ShareClientLimits(&server->limits, server->maxConnections, server->workers) != 0 ||
      ShareLog(log) != 0) {
    fputs(kNoShared, stderr);
    status = 1;
  } else {
    // The master's limits are what a reload is measured against.
    server->roomConnections = server->maxConnections;
    printf(kWorkers, server->workers);
    fputs(kWaiting, stdout);
    WorkerPool pool{server->workers, RunWorker, ReloadOf, ReopenLogOf, server};
    if (RunWorkerPool(pool) != 0) status = 1;
  }
  CloseLog(log);
  UnshareLog(log);
  UnshareClientLimits(&server->limits);
  CloseServer(server);
  if (status == 0) fputs(kTerminated, stdout);
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  // Progress lines must show at once under a pipe or a service manager.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const char *configPath = "mirt.ini";
  // More options are added here, one line each.
  const CommandOption options[] = {
      {"-config", nullptr, &configPath, CommandAction::kRun},
      {"-t", nullptr, nullptr, CommandAction::kCheck},
      {"-v", "--version", nullptr, CommandAction::kVersion},
      {"--help", "-h", nullptr, CommandAction::kHelp},
      // -hash reads a password and prints its hash for AddUser=.
      {"-hash", nullptr, nullptr, CommandAction::kHash},
  };
  CommandAction action =
      ReadCommandLine(argc, argv, options, sizeof options / sizeof options[0]);
  int answered = AnswerCommandLine(action, kUsage, kVersion);
  if (answered >= 0) return answered;
  switch (action) {
    case CommandAction::kHash:
      return PrintPasswordHash(stdin, stdout) == 0 ? 0 : 1;
    default:
      break;
  }

  HttpServer server{};
  server.listenSocket = -1;
  server.tlsListenSocket = -1;
  Log log;
  if (InitConfig(configPath, &server, &log) != 0) {
    fputs(kFaulty, stderr);
    CloseServer(&server);
    return 1;
  }
  printf(kConfigOk, configPath);
  server.configPath = configPath;
  if (action == CommandAction::kCheck) {
    // The certificate and key are only loaded when the network starts:
    // a check loads them too.
    int status = 0;
    if (server.tlsPort > 0) {
      char error[kTlsErrorSize];
      SSL_CTX *ctx = TlsServerContext(server.tlsCertificate, server.tlsKey, true, error,
                                      sizeof error);
      if (!ctx) {
        fprintf(stderr, "%s\n", error);
        fputs(kFaulty, stderr);
        status = 1;
      }
      TlsFreeContext(ctx);
    }
    CloseServer(&server);
    return status;
  }

  IgnoreSigpipe();
  CatchStopSignals();
  if (InitNet(&server) != 0) {
    fprintf(stderr, kUnableToStart, server.serverName);
    CloseServer(&server);
    return 1;
  }
  InitLog(&log);
  if (OpenLog(&log) != 0) fputs(kNoLog, stderr);
  // Ports bound, keys loaded, the log open: root is needed no more.
  if (DropPrivileges(server.runAs) != 0) {
    CloseServer(&server);
    return 1;
  }

  printf(kWebRoot, server.webRoot);
  printf(kRunning, server.serverName, server.port, server.address);
  if (server.tlsPort > 0) printf(kRunningTls, server.tlsPort);
  if (server.tlsPort > 0) printf("%s\n", TlsSendsText());
  if (server.workers > 1) return RunWorkers(&server, &log);
  fputs(kWaiting, stdout);

  RunLoop(&server);

  // The connections still open are ended first so that their access lines
  // are written before the log is closed.
  Connection *c = server.connections;
  while (c) c = EndConnection(c);
  CloseLog(&log);
  CloseServer(&server);
  fputs(kTerminated, stdout);
  return 0;
}
