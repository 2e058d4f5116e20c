#include "startup.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <ctime>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
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

const char kWorkerEnded[] = "Worker %ld ended (%s); starting another.\n";
const char kWorkerStopped[] = "Worker %ld ended (%s).\n";
const char kNoFork[] = "Could not start a worker process: %s\n";
const char kWorkersKilled[] = "Workers still running %d s after the stop are killed.\n";

// A worker that ends within this long of its start is started again only
// after as long: a fault at start must not turn into a storm of forks.
const int64_t kQuickEndMs = 1000;
// Workers finish their answers in flight within 5 s of a stop; one still
// there well after is killed, so that the master always ends.
const int kStopKillSeconds = 15;

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

int ListenWithMessages(const char *address, unsigned port, int backlog, bool sharedPort) {
  // An address that cannot be read fails at the bind step: a server never
  // falls back to listening on every interface.
  int stage = 0;
  int fd = ListenOn(address, port, backlog, &stage, sharedPort);
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

namespace {

int64_t MonotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

struct WorkerSlot {
  pid_t pid = 0;          // 0: not running
  int64_t startedMs = 0;
  int64_t restartAtMs = 0;  // not running: when to start it again (0: never)
};

// Forks worker `index`; the child never returns from here.
pid_t StartWorkerProcess(const WorkerPool &pool, int index, const sigset_t &mask) {
  // Nothing buffered in the master may be written twice.
  fflush(nullptr);
  pid_t master = getpid();
  pid_t pid = fork();
  if (pid != 0) {
    if (pid < 0) fprintf(stderr, kNoFork, strerror(errno));
    return pid;
  }
  // A worker whose master is gone (killed) stops as if told to.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != master) stopRequested = 1;
  sigprocmask(SIG_SETMASK, &mask, nullptr);
  int status = pool.run(index, pool.record);
  fflush(nullptr);
  // The master's state (its exit handlers, its buffers) is not the
  // worker's to end.
  _exit(status);
}

void Describe(int status, char *text, size_t size) {
  if (WIFSIGNALED(status))
    snprintf(text, size, "signal %d, %s", WTERMSIG(status), strsignal(WTERMSIG(status)));
  else
    snprintf(text, size, "exit status %d", WEXITSTATUS(status));
}

void SignalAll(const std::vector<WorkerSlot> &slots, int sig) {
  for (const WorkerSlot &w : slots)
    if (w.pid > 0) kill(w.pid, sig);
}

}  // namespace

int UsableCores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? (int)n : 1;
}

int RunWorkerPool(const WorkerPool &pool) {
  // The signals are taken one at a time by this loop, never by a handler:
  // a worker ending and a reload at the same moment are both seen.
  sigset_t watched, before;
  sigemptyset(&watched);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGCHLD}) sigaddset(&watched, sig);
  sigprocmask(SIG_BLOCK, &watched, &before);

  std::vector<WorkerSlot> slots((size_t)pool.count);
  bool stopping = StopRequested();
  int running = 0;
  for (int i = 0; i < pool.count && !stopping; i++) {
    pid_t pid = StartWorkerProcess(pool, i, before);
    slots[i].startedMs = MonotonicMs();
    if (pid > 0) {
      slots[i].pid = pid;
      running++;
    } else {
      slots[i].restartAtMs = slots[i].startedMs + kQuickEndMs;  // tried again
    }
  }
  int status = running > 0 || stopping ? 0 : -1;
  if (running == 0) stopping = true;
  int64_t killAtMs = 0;
  // Until stopped, and then until the last worker has ended; with none
  // running the loop only waits to start the next.
  while (running > 0 || !stopping) {
    int64_t now = MonotonicMs();
    if (stopping && killAtMs == 0) killAtMs = now + kStopKillSeconds * 1000;
    // Workers due to start again.
    int64_t wakeAt = stopping ? killAtMs : 0;
    for (size_t i = 0; i < slots.size() && !stopping; i++) {
      WorkerSlot &w = slots[i];
      if (w.pid != 0 || w.restartAtMs == 0) continue;
      if (w.restartAtMs <= now) {
        w.restartAtMs = 0;
        pid_t pid = StartWorkerProcess(pool, (int)i, before);
        w.startedMs = now;
        if (pid > 0) {
          w.pid = pid;
          running++;
        } else {
          w.restartAtMs = now + kQuickEndMs;
        }
      }
      if (w.restartAtMs != 0 && (wakeAt == 0 || w.restartAtMs < wakeAt)) wakeAt = w.restartAtMs;
    }
    siginfo_t info;
    int sig;
    if (wakeAt == 0) {
      sig = sigwaitinfo(&watched, &info);
    } else {
      int64_t wait = wakeAt > now ? wakeAt - now : 0;
      struct timespec ts = {(time_t)(wait / 1000), (long)(wait % 1000) * 1000000};
      sig = sigtimedwait(&watched, &info, &ts);
    }
    if (sig < 0) {
      if (stopping && MonotonicMs() >= killAtMs) {
        fprintf(stderr, kWorkersKilled, kStopKillSeconds);
        SignalAll(slots, SIGKILL);
        killAtMs = INT64_MAX / 2;
      }
      continue;
    }
    if (sig == SIGINT || sig == SIGTERM) {
      if (!stopping) SignalAll(slots, SIGTERM);
      stopping = true;
    } else if (sig == SIGHUP) {
      if (!stopping && (!pool.reloadable || pool.reloadable(pool.record))) {
        SignalAll(slots, SIGHUP);
      }
    } else if (sig == SIGUSR1) {
      if (pool.reopen) pool.reopen(pool.record);
      SignalAll(slots, SIGUSR1);
    } else if (sig == SIGCHLD) {
      int wstatus;
      pid_t pid;
      while ((pid = waitpid(-1, &wstatus, WNOHANG)) > 0) {
        for (WorkerSlot &w : slots) {
          if (w.pid != pid) continue;
          w.pid = 0;
          running--;
          char reason[96];
          Describe(wstatus, reason, sizeof reason);
          // A worker ending cleanly after the stop is no news.
          bool clean = WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0;
          if (!stopping)
            fprintf(stderr, kWorkerEnded, (long)pid, reason);
          else if (!clean)
            fprintf(stderr, kWorkerStopped, (long)pid, reason);
          int64_t at = MonotonicMs();
          w.restartAtMs = at - w.startedMs < kQuickEndMs ? at + kQuickEndMs : at;
        }
      }
    }
  }
  sigprocmask(SIG_SETMASK, &before, nullptr);
  return status;
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
