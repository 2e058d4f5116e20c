"""Shared pieces of the side-by-side benchmarks (bench/http_bench.py, bench/ftp_bench.py).

Servers are started in a session of their own, so that a server and every
process it forks form one process group whose id is the started PID; they
are stopped by that id, on every way out of the script. Processes that make
a group of their own (vsftpd's sessions) are found as descendants of the
started one, counted with it and stopped with it. A sampler reads the
resident memory of each server's processes while the loads run.

Each measurement is run REPEATS times with the servers taking turns (the
order rotates from one round to the next), and the median is reported.
Rows can also be appended to a file (BENCH_ROWS) for bench/run.sh's table,
and the figures of named rows to another (BENCH_VALUES, one JSON object a
line) for its list of targets (bench/targets.py).
"""
import atexit
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

PAGE = os.sysconf("SC_PAGE_SIZE")

_started = []  # Popen objects still to stop
# Only the process that started the servers stops them: forked helpers
# (multiprocessing's workers, which get SIGTERM when their pool ends)
# inherit a copy of the list, and the default signal actions.
_owner = os.getpid()


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def free_port_run(count, low=20000, high=60000, avoid=()):
    """First port of `count` consecutive ports that are free right now and
    hold none of the ports in `avoid` (ports picked already but not yet
    bound, such as a server's command port)."""
    import random
    rnd = random.Random(os.getpid())
    for _ in range(200):
        first = rnd.randrange(low, high - count)
        ok = not any(first <= a <= first + count for a in avoid)
        for p in range(first, first + count):
            if not ok:
                break
            s = socket.socket()
            try:
                s.bind(("127.0.0.1", p))
            except OSError:
                ok = False
            finally:
                s.close()
            if not ok:
                break
        if ok:
            return first
    raise RuntimeError("no run of %d free ports" % count)


def listening(port):
    """True when something listens on the port (seen in /proc/net/tcp, so no
    probe connection reaches the server)."""
    want = ":%04X" % port
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            parts = line.split()
            if parts[3] == "0A" and parts[1].endswith(want):
                return True
    return False


def wait_for(cond, seconds):
    end = time.time() + seconds
    while time.time() < end:
        if cond():
            return True
        time.sleep(0.02)
    return cond()


# Where the kernel keeps CPU accounts of process groups (cgroup v1's
# cpuacct). A server started in one of its own is charged for every
# process it ever had, also those that ended unreaped by their parent
# (vsftpd's session processes), and to the nanosecond instead of the
# clock tick of /proc/PID/stat.
CPUACCT = "/sys/fs/cgroup/cpuacct"
_accounts = {}  # server pid -> its cpuacct directory


def _new_account():
    path = os.path.join(CPUACCT, "bench-%d-%d" % (os.getpid(), len(_accounts) + len(_started)))
    try:
        os.mkdir(path)
        return path
    except OSError:
        return None


def start(name, argv, cwd, port, log):
    """Starts a server and waits until it listens on `port`."""
    out = open(log, "wb")
    account = _new_account()
    if account:
        # The server joins its account before it runs, so nothing it forks
        # escapes it.
        argv = ["sh", "-c", 'echo $$ > "$0"/cgroup.procs && exec "$@"', account] + list(argv)
    proc = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out,
                            stderr=subprocess.STDOUT, start_new_session=True)
    out.close()
    _started.append(proc)
    if account:
        _accounts[proc.pid] = account
    if not wait_for(lambda: listening(port) or proc.poll() is not None, 10) \
            or proc.poll() is not None:
        sys.stderr.write("%s did not start; its output:\n" % name)
        with open(log, "rb") as f:
            sys.stderr.write(f.read().decode("utf-8", "replace"))
        raise SystemExit(1)
    return proc


def stop(proc):
    """Stops the server's process group by its id: TERM, then KILL; then
    whatever descended from it in groups of its own."""
    strays = [(pid, fields[19]) for pid, fields in _family(proc.pid).items()  # starttime
              if pid != proc.pid]
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait(5)
    # Children of a group leader that left first (vsftpd sessions).
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    for pid, started in strays:
        try:
            with open("/proc/%d/stat" % pid) as f:
                stat = f.read()
            if stat[stat.rindex(")") + 2:].split()[19] == started:  # not a pid reused
                os.kill(pid, signal.SIGKILL)
        except (OSError, ValueError):
            pass
    if proc in _started:
        _started.remove(proc)
    account = _accounts.pop(proc.pid, None)
    if account:
        wait_for(lambda: _rmdir(account), 5)


def _rmdir(path):
    try:
        os.rmdir(path)
        return True
    except FileNotFoundError:
        return True
    except OSError:
        return False


def stop_all():
    if os.getpid() != _owner:
        return
    for proc in list(_started):
        stop(proc)


def _on_signal(signum, frame):
    if os.getpid() != _owner:
        os._exit(1)
    stop_all()
    raise SystemExit(1)


def _default_signals():
    # A forked helper blocked in a lock never gets to run a Python handler
    # for a signal that came just before it blocked: a pool that ends on
    # an error would then wait for it forever. The default action ends it.
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        try:
            signal.signal(signum, signal.SIG_DFL)
        except ValueError:  # not the child's main thread: _on_signal stays
            pass


atexit.register(stop_all)
signal.signal(signal.SIGTERM, _on_signal)
signal.signal(signal.SIGINT, _on_signal)
signal.signal(signal.SIGHUP, _on_signal)
os.register_at_fork(after_in_child=_default_signals)


def _family(leader):
    """The /proc/PID/stat fields (from the state on) of the started server,
    every process of its group and every process descending from it:
    vsftpd's sessions call setsid() and form groups of their own."""
    procs = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
            procs[int(entry)] = stat[stat.rindex(")") + 2:].split()
        except (OSError, ValueError):
            continue
    family = {}
    for pid, fields in procs.items():
        p, steps = pid, 0
        while p in procs and steps < 64:
            if p == leader or int(procs[p][2]) == leader:  # pgrp
                family[pid] = fields
                break
            p, steps = int(procs[p][1]), steps + 1  # ppid
    return family


def group_rss(pgid):
    """Resident bytes of the server's processes (see _family), summed."""
    total = 0
    for pid in _family(pgid):
        try:
            with open("/proc/%d/statm" % pid) as f:
                total += int(f.read().split()[1]) * PAGE
        except (OSError, ValueError):
            continue
    return total


def group_cpu(pgid):
    """Seconds of processor time used by the server's processes: from its
    CPU account when it has one, else from /proc, with the children they
    have reaped (vsftpd's finished sessions)."""
    account = _accounts.get(pgid)
    if account:
        try:
            with open(os.path.join(account, "cpuacct.usage")) as f:
                return int(f.read()) / 1e9
        except (OSError, ValueError):
            pass
    tick = os.sysconf("SC_CLK_TCK")
    total = sum(sum(int(x) for x in fields[11:15])  # utime stime cutime cstime
                for fields in _family(pgid).values())
    return total / tick


def group_size(pgid):
    """How many processes the server has (zombies too: their time is not
    yet their parent's)."""
    return len(_family(pgid))


def settle(pgid, size, seconds=5):
    """Waits until the group is back to `size` processes, so that the time
    of sessions that just ended (vsftpd forks one per login) has reached
    the processes that stay and group_cpu() counts it."""
    return wait_for(lambda: group_size(pgid) <= size, seconds)


def timed(pgid, work):
    """work()'s result and the server's processor time for it (ms)."""
    size = group_size(pgid)
    before = group_cpu(pgid)
    result = work()
    settle(pgid, size)
    return result, 1000 * (group_cpu(pgid) - before)


def status_kib(pid, key):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


class RssSampler:
    """Samples the summed resident memory of each server's process group
    every 20 ms; peak() also takes the kernel's own high-water mark of the
    group leader (VmHWM), which catches peaks between two samples."""

    def __init__(self):
        self.groups = {}
        self.peaks = {}
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def watch(self, name, proc):
        self.groups[name] = proc
        self.peaks[name] = 0

    def begin(self):
        self._thread.start()

    def _run(self):
        while not self._stop.wait(0.02):
            for name, proc in list(self.groups.items()):
                rss = group_rss(proc.pid)
                if rss > self.peaks[name]:
                    self.peaks[name] = rss

    def peak(self, name):
        proc = self.groups[name]
        hwm = status_kib(proc.pid, "VmHWM") * 1024
        return max(self.peaks[name], hwm)

    def end(self):
        self._stop.set()
        self._thread.join(1)


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def rounds(servers, repeats):
    """The servers in turn, `repeats` rounds, the order rotated each round."""
    order = list(servers)
    for r in range(repeats):
        k = r % len(order)
        for s in order[k:] + order[:k]:
            yield r, s


def machine_line():
    model = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    return "%d cores (%s), Linux %s, load average %s" % (
        os.cpu_count(), model, os.uname().release, load)


def fmt(value, unit):
    if value is None:
        return "-"
    if unit == "ms":
        return "%.3f" % value if value < 10 else "%.0f" % value
    if unit == "MiB":
        return "%.1f" % value
    if value >= 100:
        return "%.0f" % value
    return "%.2f" % value


def ratio(ours, peer):
    if ours is None or peer is None or peer == 0:
        return "-"
    return "%.2f" % (ours / peer)


class Table:
    """Rows of one benchmark: measure, unit, whether more is better, and
    the median per server; ours is the first server."""

    def __init__(self, title, servers):
        self.title = title
        self.servers = servers
        self.rows = []
        self.keyed = []

    def add(self, measure, unit, more_is_better, values, key=None):
        """A row; `key` names it for bench/targets.py (BENCH_VALUES), which
        can also find a row by its measure."""
        self.rows.append((measure, unit, more_is_better, values))
        self.keyed.append((key, measure, values))

    def lines(self):
        ours, peers = self.servers[0], self.servers[1:]
        head = ["measure", "unit"] + self.servers + ["%s/%s" % (ours, p) for p in peers]
        out = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        for measure, unit, more, values in self.rows:
            cells = [measure, unit + ("" if more else ", less is better")]
            cells += [fmt(values.get(s), unit) for s in self.servers]
            cells += [ratio(values.get(ours), values.get(p)) for p in peers]
            out.append("| " + " | ".join(cells) + " |")
        return out

    def print(self):
        print()
        print(self.title)
        for line in self.lines():
            print(line)
        rows_file = os.environ.get("BENCH_ROWS")
        if rows_file:
            with open(rows_file, "a") as f:
                f.write("\n%s\n" % self.title)
                for line in self.lines():
                    f.write(line + "\n")
        values_file = os.environ.get("BENCH_VALUES")
        if values_file:
            with open(values_file, "a") as f:
                for key, measure, values in self.keyed:
                    f.write(json.dumps({"key": key, "measure": measure, "values": values}) +
                            "\n")
        sys.stdout.flush()


def note(text):
    print(text)
    rows_file = os.environ.get("BENCH_ROWS")
    if rows_file:
        with open(rows_file, "a") as f:
            f.write(text + "\n")
    sys.stdout.flush()


def tls_sends(console, seconds=10):
    """The path a started server of ours names for file data over TLS (its
    "TLS sends: ..." line at start), e.g. "user space, 16 KiB records"."""
    def line():
        try:
            with open(console) as f:
                for text in f:
                    if text.startswith("TLS sends: "):
                        return text[len("TLS sends: "):].strip()
        except OSError:
            pass
        return None
    wait_for(lambda: line() is not None, seconds)
    return line() or "unknown"
