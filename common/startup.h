// What both servers do before their loop runs: find this host's address
// for Address=AUTO, listen with the messages operators know, and catch the
// stop signals.
#pragma once
#include <cstddef>

// Replaces "AUTO" in `address` (of `size` bytes) with this host's first
// IPv4 address; any other value is left alone. 0, or -1 after "Could not
// detect IP address.\n". With `sayWhenMany`, finding more than one
// address is announced.
int ResolveAutoAddress(char *address, size_t size, bool sayWhenMany);
// A non-blocking listening socket on address:port, or -1 after printing
// the step that failed and the system's reason.
// `sharedPort`: see ListenOn.
int ListenWithMessages(const char *address, unsigned port, int backlog,
                       bool sharedPort = false);

// Whom a server started as root becomes (User=, Group=; empty: not given).
struct RunAs {
  char user[64];
  char group[64];
};
// Started as root with a user to become: sets the groups, the group and
// the user, each step checked; 0, or -1 after saying which step failed (a
// fault that must end the server: it would otherwise serve as root).
// Started as root without User=: one warning, 0. Not root: nothing, 0.
int DropPrivileges(const RunAs &runAs);

// SIGINT and SIGTERM only set a flag; the loop's hook before each wait
// looks at it and ends the loop, so nothing runs in the signal's context.
// Signals only set flags; the loop's hook before each wait looks at them
// and acts (stops, reloads, reopens the logs), so nothing runs in the
// signal's context and no buffered line is lost. SIGINT and SIGTERM stop,
// SIGHUP asks for a reload, SIGUSR1 for the logs to be reopened, SIGUSR2 is
// ignored.
void CatchStopSignals();
bool StopRequested();
// Whether SIGHUP (SIGUSR1) came since the last call; the flag is cleared.
bool TakeReloadRequest();
bool TakeReopenRequest();

// ---- Worker processes ----

// A server run as several processes (Workers=): the process that read the
// configuration and listens becomes their master. It serves nothing; it
// starts the workers, passes SIGHUP, SIGUSR1 and SIGTERM on to them, and
// starts another worker in place of one that ended.
struct WorkerPool {
  int count;  // workers, 2 or more
  // In a new worker process: serves until a stop and returns its exit
  // status. `index` (0..count-1) is the place it takes; a worker started
  // in place of an ended one takes that one's index.
  int (*run)(int index, void *record);
  // In the master on SIGHUP: reloads the master's own record and is true
  // when the configuration was sound; the workers are then told to reload
  // (a faulty one is said and nothing else happens).
  bool (*reloadable)(void *record);
  // In the master on SIGUSR1, before the workers are told (may be null).
  void (*reopen)(void *record);
  void *record;
};
// Runs the pool until a stop signal, and until every worker has ended
// after it. 0, or -1 when no worker could be started at all.
int RunWorkerPool(const WorkerPool &pool);
// The number of processors this process may run on (at least 1).
int UsableCores();

// ---- Command line ----

// What a command line asked for.
enum class CommandAction { kRun, kCheck, kVersion, kHelp, kHash, kBad };

// An option of a program's command line: its spellings, whether it takes
// a value, and where the value goes (or the action it selects). Each
// program lists its options in a table so that more can be added.
struct CommandOption {
  const char *name;
  const char *alias;         // another spelling, or null
  const char **value;        // the option takes a value stored here; or null
  CommandAction action;      // what a valueless option selects
};

// Reads argv by the table; kBad for an unknown option or a missing value.
CommandAction ReadCommandLine(int argc, char **argv, const CommandOption *options,
                              size_t count);
// Answers what every program's command line may ask: the usage on standard
// error for a bad option (2: a typo in a unit file must not count as a
// clean start), the usage (--help) or the version on standard output (0).
// -1 when the action is the program's own (run, check, its extra options).
int AnswerCommandLine(CommandAction action, const char *usage, const char *version);
