#include "startup.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include "addresses.h"
#include "sockets.h"

namespace {

const char kNoSocket[] = "Creating socket failed.\n";
const char kNoAddress[] = "Could not detect IP address.\n";
const char kManyAddresses[] =
    "More than one IP address was detected, using the first in list.\n";
const char kNoBind[] = "Associate local address with socket failed.\n";
const char kNoListen[] = "Putting socket into listening mode failed.\n";
const char kWhereAndWhy[] = "%s%s%s:%u: %s\n";
const char kPrivilegedPort[] =
    "Ports below 1024 need the capability CAP_NET_BIND_SERVICE (the service "
    "units grant it) or root; or choose a port above 1023.\n";

const char kStillRoot[] =
    "WARNING! Running as root; set User= to serve as an unprivileged account.\n";
const char kNoUser[] = "User=%s is not a user of this system.\n";
const char kNoGroup[] = "Group=%s is not a group of this system.\n";
const char kDropFailed[] = "Could not become %s: %s failed (%s).\n";

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t reloadRequested = 0;
volatile sig_atomic_t reopenRequested = 0;

void OnStopSignal(int) { stopRequested = 1; }
void OnReloadSignal(int) { reloadRequested = 1; }
void OnReopenSignal(int) { reopenRequested = 1; }

}  // namespace

int ResolveAutoAddress(char *address, size_t size, bool sayWhenMany) {
  if (strcmp(address, "AUTO") != 0) return 0;
  char found[1][16];
  int count = 1;
  if (FindHostAddresses(found, &count) != 0) {
    fputs(kNoAddress, stderr);
    return -1;
  }
  if (sayWhenMany && count > 1) fputs(kManyAddresses, stderr);
  snprintf(address, size, "%s", found[0]);
  return 0;
}

int ListenWithMessages(const char *address, unsigned port, int backlog) {
  // An address that cannot be read fails at the bind step: a server never
  // falls back to listening on every interface.
  int stage = 0;
  int fd = ListenOn(address, port, backlog, &stage);
  if (fd < 0) {
    // The operator needs the system's reason too: a port in use, a
    // privileged port, an address that is not this machine's.
    int err = errno;
    fputs(stage == 1 ? kNoSocket : stage == 2 ? kNoBind : kNoListen, stderr);
    bool six = strchr(address, ':') != nullptr;
    fprintf(stderr, kWhereAndWhy, six ? "[" : "", address, six ? "]" : "", port,
            strerror(err));
    if (err == EACCES && port < 1024) fputs(kPrivilegedPort, stderr);
  }
  return fd;
}

void CatchStopSignals() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  // No SA_RESTART: the loop's wait must return so that its hook sees the
  // flag.
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sa.sa_handler = OnReloadSignal;
  sigaction(SIGHUP, &sa, nullptr);
  sa.sa_handler = OnReopenSignal;
  sigaction(SIGUSR1, &sa, nullptr);
  // A stray SIGUSR2 (log tools of other servers send it) must not end the
  // server, whose default action it would be.
  sa.sa_handler = SIG_IGN;
  sigaction(SIGUSR2, &sa, nullptr);
}

bool StopRequested() { return stopRequested != 0; }

bool TakeReloadRequest() {
  if (!reloadRequested) return false;
  reloadRequested = 0;
  return true;
}

bool TakeReopenRequest() {
  if (!reopenRequested) return false;
  reopenRequested = 0;
  return true;
}

CommandAction ReadCommandLine(int argc, char **argv, const CommandOption *options,
                              size_t count) {
  CommandAction action = CommandAction::kRun;
  for (int i = 1; i < argc; i++) {
    const CommandOption *found = nullptr;
    for (size_t k = 0; k < count && !found; k++)
      if (strcmp(argv[i], options[k].name) == 0 ||
          (options[k].alias && strcmp(argv[i], options[k].alias) == 0))
        found = &options[k];
    if (!found) return CommandAction::kBad;
    if (found->value) {
      if (i + 1 >= argc) return CommandAction::kBad;
      *found->value = argv[++i];
    } else if (action == CommandAction::kRun) {
      action = found->action;
    }
  }
  return action;
}

int AnswerCommandLine(CommandAction action, const char *usage, const char *version) {
  switch (action) {
    case CommandAction::kBad:
      fputs(usage, stderr);
      return 2;
    case CommandAction::kHelp:
      fputs(usage, stdout);
      return 0;
    case CommandAction::kVersion:
      fputs(version, stdout);
      return 0;
    default:
      return -1;
  }
}

int DropPrivileges(const RunAs &runAs) {
  if (geteuid() != 0) return 0;
  errno = 0;
  if (runAs.user[0] == '\0') {
    fputs(kStillRoot, stderr);
    return 0;
  }
  const struct passwd *pw = getpwnam(runAs.user);
  if (!pw) {
    fprintf(stderr, kNoUser, runAs.user);
    return -1;
  }
  uid_t uid = pw->pw_uid;
  gid_t gid = pw->pw_gid;
  if (runAs.group[0] != '\0') {
    const struct group *gr = getgrnam(runAs.group);
    if (!gr) {
      fprintf(stderr, kNoGroup, runAs.group);
      return -1;
    }
    gid = gr->gr_gid;
  }
  // The groups first, while root may still set them; the user last, as
  // after it nothing else may be changed. With Group= that group is the
  // only one; without, the user's own supplementary groups apply.
  const char *step = nullptr;
  if (runAs.group[0] != '\0' ? setgroups(1, &gid) != 0 : initgroups(runAs.user, gid) != 0)
    step = "setgroups";
  else if (setgid(gid) != 0)
    step = "setgid";
  else if (setuid(uid) != 0)
    step = "setuid";
  // A uid of 0 named by User= would keep root: that is no drop either.
  else if (uid == 0 || setuid(0) == 0)
    step = "setuid";
  if (step) {
    fprintf(stderr, kDropFailed, runAs.user, step, errno ? strerror(errno) : "still root");
    return -1;
  }
  return 0;
}
