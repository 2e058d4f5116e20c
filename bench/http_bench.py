#!/usr/bin/env python3
"""mirt beside nginx and lighttpd, one worker each, on loopback.

All three serve the same generated tree; every load runs against each server
in turn (REPEATS rounds, three times as many for the 256 MiB downloads
and 2 * REPEATS + 1 for the rows a target reads: keep-alive c=32 and the
worker-per-core loads, REPEATS + 2 for the 100,000 idle connections;
order rotated), and the medians are printed with the
ratio ours/peer. Loads: ab (HTTP/1.0, Connection: close) for a 1 KiB file at
concurrency 1 and 32, a 1 MiB file at concurrency 8 and the listing of a
directory of 1000 entries at concurrency 1; curl for one 256 MiB download;
wrk over persistent connections for the 1 KiB file at concurrency 1 and 32,
and again at 32 while 10,000 idle keep-alive connections (each answered
once, then silent) are held open, with the memory each of them costs. A bare accept-recv-send loop
(bench/bare_loop.cpp, a fixed 1 KiB answer and nothing else) runs beside
the servers on the 1 KiB loads: the floor no file server can beat.
Then HTTPS, each server a fresh instance on a TLS port with one self-signed
certificate: wrk over persistent connections for the 1 KiB file at
concurrency 32, and curl for the 256 MiB download (lighttpd only when its
mod_openssl is installed).

Then mirt with Workers=auto beside nginx with worker_processes auto (a
worker per core each): the 1 KiB file at concurrency 32 over persistent and
closing connections, with the processor time of all of each server's
processes per request.

Then 100,000 idle keep-alive connections held by mirt and by nginx (fresh
instances; as many worker processes each as the per-process descriptor
limit asks for), opened by bench/idle_clients.cpp from several loopback
source addresses: the memory each costs, and keep-alive c=32 with them open
against the same load just before, round by round. Kernel settings that
are too low for it (fs.file-max, nf_conntrack_max) are raised for the run
and restored after.

Usage: http_bench.py BIN_DIR    (environment: REPEATS=3, SECONDS_PER_RUN=3,
                                BENCH_ONLY=tls for the HTTPS loads alone,
                                BENCH_ONLY=tls-bulk for the HTTPS download alone,
                                BENCH_ONLY=workers for a worker per core alone,
                                BENCH_ONLY=idle for 100,000 idle connections alone)
"""
import os
import re
import resource
import select
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib as B  # noqa: E402

REPEATS = int(os.environ.get("REPEATS", "3"))
# A 256 MiB download takes a tenth of a second in the clear and half a
# second over TLS, short enough for the load of a shared machine to swing
# one by a third: those rows take three times the rounds, so their
# medians hold still.
BULK_REPEATS = 3 * REPEATS
# The rows a performance target reads compare two figures within a few
# percent of each other, where one noisy round of three moves a median
# across the line: they take more rounds.
TARGET_REPEATS = 2 * REPEATS + 1
# The same for the scale row, whose rounds each open 100,000 connections.
IDLE_REPEATS = REPEATS + 2
SECONDS = int(os.environ.get("SECONDS_PER_RUN", "3"))
BIG = 256 << 20
IDLE = 10000
# The scale row: this many idle connections, opened within this time.
IDLE_MANY = 100000
IDLE_OPEN_SECONDS = 120
# Descriptors for the idle connections on both ends, with room to spare.
FDS = 4 * IDLE
# What each process may hold, once main() has raised what it could.
FD_LIMIT = FDS


def make_tree(www):
    os.makedirs(os.path.join(www, "dir1000"))
    with open("/dev/urandom", "rb") as rnd:
        for name, size in (("f1k.bin", 1024), ("f1m.bin", 1 << 20)):
            with open(os.path.join(www, name), "wb") as f:
                f.write(rnd.read(size))
        with open(os.path.join(www, "big.bin"), "wb") as f:
            left = BIG
            while left:
                piece = rnd.read(min(left, 8 << 20))
                f.write(piece)
                left -= len(piece)
    for i in range(1000):
        with open(os.path.join(www, "dir1000", "entry%04d.txt" % i), "w") as f:
            f.write("entry %d\n" % i)


def start_mirt(bindir, home, www, port, workers="1", connections=2 * IDLE,
               per_address=2 * IDLE):
    os.makedirs(os.path.join(home, "logs"))
    with open(os.path.join(home, "mirt.ini"), "w") as f:
        f.write(f"""; bench/http_bench.py (the first line is never read)
Workers={workers}
Port={port}
Address=127.0.0.1
ExternIP=http://127.0.0.1:{port}
Timeout=30
KeepAliveTimeout=75
MaxConnections={connections}
MaxPerAddress={per_address}
ExtendedMessages=1
DirectoryListing=1
ShowProtectedFiles=0
AddType=.htm;text/html
AddType=.txt;text/plain
AddVirtual=/;{www}
LogRotation=2
LogMaxEntries=10000000
LogMaxAge=24
LogDir=logs
""")
    return B.start("mirt", [os.path.join(bindir, "mirt")], home, port,
                   os.path.join(home, "console.txt"))


def start_nginx(home, www, port, cert=None, key=None, workers="1", connections=2 * IDLE,
                reuseport=False):
    """nginx on `port`; over TLS when given a certificate and its key; with
    `reuseport`, a listening socket per worker (the kernel spreads the
    connections evenly, as it does over mirt's workers)."""
    tls = " reuseport" if reuseport else ""
    if cert:
        # TLS 1.3 as the others: nginx 1.22 stops at 1.2 by default. Kernel
        # TLS where the kernel offers it, as mirt takes it there.
        tls += (" ssl;\n    ssl_protocols TLSv1.2 TLSv1.3;\n"
               "    ssl_conf_command Options KTLS;\n"
               f"    ssl_certificate {cert};\n    ssl_certificate_key {key}")
    os.makedirs(os.path.join(home, "tmp"))
    conf = os.path.join(home, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""worker_processes {workers};
daemon off;
pid {home}/nginx.pid;
error_log {home}/error.log;
worker_rlimit_nofile {max(FDS, connections + 64)};
events {{ worker_connections {connections}; }}
http {{
  access_log {home}/access.log combined buffer=64k;
  client_body_temp_path {home}/tmp;
  proxy_temp_path {home}/tmp;
  fastcgi_temp_path {home}/tmp;
  uwsgi_temp_path {home}/tmp;
  scgi_temp_path {home}/tmp;
  types {{ text/html htm; text/plain txt; }}
  default_type application/octet-stream;
  sendfile on;
  server {{
    listen 127.0.0.1:{port}{tls};
    root {www};
    autoindex on;
  }}
}}
""")
    return B.start("nginx", ["nginx", "-c", conf, "-p", home + "/"], home, port,
                   os.path.join(home, "console.txt"))


def start_lighttpd(home, www, port, cert=None, key=None):
    """lighttpd on `port`; over TLS when given a certificate and its key."""
    tls = ""
    if cert:
        tls = (f'server.modules += ( "mod_openssl" )\nssl.engine = "enable"\n'
               f'ssl.pemfile = "{cert}"\nssl.privkey = "{key}"\n')
    conf = os.path.join(home, "lighttpd.conf")
    with open(conf, "w") as f:
        f.write(f"""server.document-root = "{www}"
server.bind = "127.0.0.1"
server.port = {port}
server.errorlog = "{home}/error.log"
server.max-worker = 0
server.max-fds = {FDS}
server.max-connections = {2 * IDLE}
server.modules = ( "mod_dirlisting", "mod_accesslog" )
accesslog.filename = "{home}/access.log"
dir-listing.activate = "enable"
mimetype.assign = ( ".htm" => "text/html", ".txt" => "text/plain" )
{tls}""")
    return B.start("lighttpd", ["lighttpd", "-D", "-f", conf], home, port,
                   os.path.join(home, "console.txt"))


def start_bare(home, port):
    """The bare loop, compiled here from its source."""
    exe = os.path.join(home, "bare_loop")
    src = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bare_loop.cpp")
    subprocess.run(["c++", "-O2", "-o", exe, src], check=True)
    return B.start("floor", [exe, str(port)], home, port,
                   os.path.join(home, "console.txt"))


def fetch(port, path):
    with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=10) as r:
        return r.status, r.read()


def ab(port, path, concurrency):
    """(requests/s, median ms, complete requests) of one ab run."""
    csv = tempfile.NamedTemporaryFile(suffix=".csv", delete=False)
    csv.close()
    # -t before -n: -t alone would cap the count at 50000.
    cmd = ["ab", "-q", "-r", "-t", str(SECONDS), "-n", "2000000", "-c", str(concurrency),
           "-H", "Connection: close", "-e", csv.name,
           "http://127.0.0.1:%d%s" % (port, path)]
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=SECONDS + 60).stdout
    median = None
    with open(csv.name) as f:
        for line in f:
            if line.startswith("50,"):
                median = float(line.split(",")[1])
    os.unlink(csv.name)
    rps = re.search(r"Requests per second:\s+([\d.]+)", out)
    done = re.search(r"Complete requests:\s+(\d+)", out)
    failed = re.search(r"Failed requests:\s+(\d+)", out)
    non2xx = re.search(r"Non-2xx responses:\s+(\d+)", out)
    if not rps or not done or int(done.group(1)) == 0:
        sys.stderr.write("ab failed on port %d %s:\n%s\n" % (port, path, out))
        return None, None, 0
    if (failed and int(failed.group(1))) or non2xx:
        sys.stderr.write("ab on port %d %s: %s failed, %s non-2xx\n" % (
            port, path, failed.group(1) if failed else 0,
            non2xx.group(1) if non2xx else 0))
    return float(rps.group(1)), median, int(done.group(1))


def wrk(port, path, concurrency, scheme="http", seconds=None):
    """(requests/s, median ms, complete requests) of one wrk run over
    persistent connections (HTTP/1.1, the servers' keep-alive defaults)."""
    seconds = seconds or SECONDS
    cmd = ["wrk", "-t1", "-c%d" % concurrency, "-d%ds" % seconds, "--latency",
           "%s://127.0.0.1:%d%s" % (scheme, port, path)]
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=seconds + 60).stdout
    rps = re.search(r"Requests/sec:\s+([\d.]+)", out)
    done = re.search(r"(\d+) requests in", out)
    median = re.search(r"50%\s+([\d.]+)(us|ms|s)\b", out)
    if not rps or not done or int(done.group(1)) == 0:
        sys.stderr.write("wrk failed on port %d %s:\n%s\n" % (port, path, out))
        return None, None, 0
    errors = re.search(r"Socket errors:.*", out)
    non2xx = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", out)
    if errors or non2xx:
        sys.stderr.write("wrk on port %d %s: %s %s\n" % (
            port, path, errors.group(0) if errors else "",
            "non-2xx " + non2xx.group(1) if non2xx else ""))
    ms = None
    if median:
        ms = float(median.group(1)) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[median.group(2)]
    return float(rps.group(1)), ms, int(done.group(1))


def build_helper(top, name):
    """A helper of bench/ (NAME.cpp) compiled into `top`, once."""
    exe = os.path.join(top, name)
    if not os.path.exists(exe):
        src = os.path.join(os.path.dirname(os.path.abspath(__file__)), name + ".cpp")
        subprocess.run(["c++", "-O2", "-o", exe, src], check=True)
    return exe


class IdleClients:
    """`count` keep-alive connections to the port, each answered once and
    then silent (a browser's connection between page loads), held by
    bench/idle_clients.cpp: one process per loopback source address from
    127.0.0.2 on (an address offers some 28,000 ephemeral ports towards one
    server port), none holding more descriptors than a process may."""

    PER_SOURCE = 12500

    def __init__(self, exe, port, count):
        self.procs = []
        per = min(self.PER_SOURCE, FD_LIMIT - 64)
        for first in range(0, count, per):
            n = min(per, count - first)
            source = "127.0.0.%d" % (2 + len(self.procs))
            self.procs.append(subprocess.Popen(
                [exe, str(port), str(n), source, "/f1k.bin", str(IDLE_OPEN_SECONDS)],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE))

    def held(self):
        """True once every process holds its connections (bounded by the
        helpers' own time limit)."""
        deadline = time.time() + IDLE_OPEN_SECONDS + 10
        for proc in self.procs:
            ready, _, _ = select.select([proc.stdout], [], [], max(0, deadline - time.time()))
            if not ready or not proc.stdout.readline().startswith(b"held "):
                return False
        return True

    def close(self):
        """Resets every connection and waits for the helpers to end."""
        for proc in self.procs:
            proc.stdin.close()
        for proc in self.procs:
            try:
                proc.wait(30)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            proc.stdout.close()


def open_idle(exe, port, count):
    """IdleClients holding `count` connections, or None when the server
    would not take them all."""
    idle = IdleClients(exe, port, count)
    if idle.held():
        return idle
    sys.stderr.write("port %d did not take %d idle connections\n" % (port, count))
    idle.close()
    return None


def held_fds(pgid):
    """Sockets held by every process of the group (nginx's worker holds
    the connections, not the master that was started). Only sockets: a
    server closes the files it kept open once nobody asks for them, which
    must not read as connections lost."""
    total = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
            if int(stat[stat.rindex(")") + 2:].split()[2]) != pgid:
                continue
            fds = "/proc/%s/fd/" % entry
            for fd in os.listdir(fds):
                try:
                    total += os.readlink(fds + fd).startswith("socket:")
                except OSError:
                    continue
        except (OSError, ValueError):
            continue
    return total


def download(port, path, scheme="http"):
    """MiB/s of one curl download to /dev/null, or None when it came short."""
    out = subprocess.run(
        ["curl", "-sS", "-k", "-o", "/dev/null", "-w", "%{size_download} %{speed_download}",
         "--max-time", "120", "%s://127.0.0.1:%d%s" % (scheme, port, path)],
        capture_output=True, text=True, timeout=180).stdout.split()
    if len(out) != 2 or int(float(out[0])) != BIG:
        sys.stderr.write("download from port %d came short: %s\n" % (port, out))
        return None
    return float(out[1]) / (1 << 20)


def keep_alive_32(pid, port, warm=False):
    """(requests/s, requests, server CPU per request in us) of wrk c=32;
    after a second of the same load left uncounted when `warm`."""
    if warm:
        wrk(port, "/f1k.bin", 32, seconds=1)
    cpu = B.group_cpu(pid)
    r, _, done = wrk(port, "/f1k.bin", 32)
    cpu = B.group_cpu(pid) - cpu
    return r, done, 1e6 * cpu / done if done else None


def idle_round(clients, name, pid, port, count, baseline):
    """One round of keep-alive c=32 while `count` idle connections are open:
    ((requests/s, CPU per request) just before they opened when `baseline`,
    the same with them open, requests served, resident KiB per idle
    connection), or None when the server did not hold them all. With
    `baseline`, both loads come after an uncounted second of the same: the
    kernel is still busy for a moment after a hundred thousand connections
    opened (requests/s, not the server's CPU per request, dip for it)."""
    before = keep_alive_32(pid, port, warm=True)[::2] if baseline else None
    rss_before = B.group_rss(pid)
    fds_before = held_fds(pid)
    idle = open_idle(clients, port, count)
    if idle is None:
        return None
    try:
        held = B.wait_for(lambda: held_fds(pid) >= fds_before + count, 20)
        rss_idle = B.group_rss(pid)
        r, done, cpu = keep_alive_32(pid, port, warm=baseline)
        if not held or held_fds(pid) < fds_before + count:
            sys.stderr.write("%s did not hold the %d idle connections (%d descriptors)\n" % (
                name, count, held_fds(pid) - fds_before))
            return None
    finally:
        idle.close()
        B.wait_for(lambda: held_fds(pid) <= fds_before + 64, 20)
    return before, (r, cpu), done, (rss_idle - rss_before) / count / 1024


def main():
    global FDS, FD_LIMIT
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    bindir = os.path.abspath(sys.argv[1])
    if not os.access(os.path.join(bindir, "mirt"), os.X_OK):
        sys.exit("No mirt in %s; build first (make)." % bindir)
    # The servers and the idle clients inherit this limit. Root may raise
    # the hard one too, where the system lets it (a container may not): the
    # scale row needs two descriptors per connection in one mirt process,
    # else it spreads them over worker processes.
    want = max(FDS, 2 * IDLE_MANY * 5 // 4 + 1024)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    unlimited = hard == resource.RLIM_INFINITY
    for limits in ((want, want), (want if unlimited else min(want, hard), hard)):
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, limits)
            break
        except (ValueError, OSError):
            continue
    FD_LIMIT = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
    # The peers are configured for what the system allows (a hard limit
    # below FDS caps lighttpd's connections at half of it).
    FDS = min(FDS, FD_LIMIT)
    top = tempfile.mkdtemp(prefix="bh-", dir="/tmp")  # short: mirt roots are bounded
    os.chmod(top, 0o755)  # nginx's worker reads the tree as an unprivileged user
    try:
        run(bindir, top)
    finally:
        B.stop_all()
        shutil.rmtree(top, ignore_errors=True)


def run(bindir, top):
    www = os.path.join(top, "www")
    make_tree(www)
    only = os.environ.get("BENCH_ONLY")
    if only is None:
        run_plain(bindir, top, www)
        B.stop_all()
    if only in (None, "workers"):
        run_workers(bindir, top, www)
        B.stop_all()
    if only in (None, "idle"):
        run_idle(bindir, top, www)
        B.stop_all()
    if only in (None, "tls", "tls-bulk"):
        run_tls(bindir, top, www)


def start_mirt_and_nginx(bindir, top, www, suffix, what, mirt_settings, nginx_settings):
    """Fresh mirt and nginx instances in homes named NAME-suffix, each
    checked to serve the 1 KiB file: (servers, ports) by name. `what`
    names the set-up when one does not serve."""
    servers, ports = {}, {}
    for name in ("mirt", "nginx"):
        home = os.path.join(top, name + "-" + suffix)
        os.makedirs(home)
        ports[name] = B.free_port()
        if name == "mirt":
            servers[name] = start_mirt(bindir, home, www, ports[name], **mirt_settings)
        else:
            servers[name] = start_nginx(home, www, ports[name], **nginx_settings)
        status, body = fetch(ports[name], "/f1k.bin")
        if status != 200 or len(body) != 1024:
            sys.exit("%s (%s) does not serve the tree as expected" % (name, what))
    return servers, ports


def run_workers(bindir, top, www):
    """mirt with Workers=auto beside nginx with worker_processes auto: the
    1 KiB file over persistent connections and closing ones, c=32, with the
    processor time of every process of each server."""
    names = ["mirt", "nginx"]
    servers, ports = start_mirt_and_nginx(
        bindir, top, www, "workers", "a worker per core", {"workers": "auto"},
        {"workers": "auto"})
    B.note("HTTP, a worker per core (%d): %s; %d rounds of %d s per load; medians." % (
        os.cpu_count() or 0, B.machine_line(), TARGET_REPEATS, SECONDS))
    table = B.Table("HTTP, a worker per core (mirt Workers=auto, nginx worker_processes auto)",
                    names)
    for label, client, key in (("keep-alive 1 KiB file, c=32", wrk, "workers_keep"),
                               ("1 KiB file, c=32", ab, "workers_close")):
        rps = {n: [] for n in names}
        cpu = {n: [] for n in names}
        for _, name in B.rounds(names, TARGET_REPEATS):
            before = B.group_cpu(servers[name].pid)
            r, _, done = client(ports[name], "/f1k.bin", 32)
            used = B.group_cpu(servers[name].pid) - before
            rps[name].append(r)
            cpu[name].append(1e6 * used / done if done else None)
        table.add(label + ": requests/s", "req/s", True, {n: B.median(rps[n]) for n in names},
                  key=key + "_rps")
        table.add(label + ": server CPU per request", "us", False,
                  {n: B.median(cpu[n]) for n in names}, key=key + "_cpu")
    table.print()


def raise_sysctl(name, least, changed):
    """Raises a kernel setting (/proc/sys path under net or fs) to at least
    `least` for the run, noting its old value in `changed` for restoring."""
    path = "/proc/sys/" + name.replace(".", "/")
    try:
        with open(path) as f:
            now = f.read().strip()
        if int(now.split()[0]) >= least:
            return True
        with open(path, "w") as f:
            f.write(str(least))
        changed[path] = now
        return True
    except (OSError, ValueError) as e:
        sys.stderr.write("cannot raise %s to %d: %s\n" % (name, least, e))
        return False


def restore_sysctls(changed):
    for path, value in changed.items():
        try:
            with open(path, "w") as f:
                f.write(value)
        except OSError as e:
            sys.stderr.write("cannot restore %s to %s: %s\n" % (path, value, e))


def run_idle(bindir, top, www):
    """IDLE_MANY idle keep-alive connections (each answered once, then
    silent) held by mirt and by nginx, fresh instances of each: the resident
    memory each connection costs beyond the kernel's socket memory, and
    keep-alive c=32 with them open against the same load just before they
    opened, round by round. A process holds at most FD_LIMIT descriptors and
    mirt keeps room for two per connection (the file it may answer with),
    so where the limit cannot be raised both servers run enough worker
    processes for the count, the same number each, listening socket per
    worker. lighttpd and the bare loop are single processes: they sit out."""
    count = IDLE_MANY
    # A quarter to spare: the kernel spreads connections over the workers'
    # sockets by a hash, evenly but not exactly.
    room = count * 5 // 4
    per_process = max(1, min(room, (FD_LIMIT - 256) // 2))
    workers = -(-room // per_process)
    if workers > 64:
        B.note("HTTP, %s idle connections: not measured (%d descriptors a process would "
               "need %d worker processes)." % ("{:,}".format(count), FD_LIMIT, workers))
        return
    changed = {}
    # Both ends of every connection are descriptors of the system, and a
    # connection tracker (where loaded) keeps an entry for each. The listen
    # backlog (somaxconn) and TCP memory need nothing: the clients keep at
    # most 256 connections a process in flight, and a socket whose queues
    # are empty holds no TCP memory.
    if not raise_sysctl("fs.file-max", 2 * count + 65536, changed):
        return
    if os.path.exists("/proc/sys/net/netfilter/nf_conntrack_max"):
        with open("/proc/sys/net/netfilter/nf_conntrack_count") as f:
            tracked = int(f.read())
        if not raise_sysctl("net.netfilter.nf_conntrack_max", tracked + 2 * count + 65536,
                            changed):
            restore_sysctls(changed)
            return
    try:
        idle_scale(bindir, top, www, count, workers, per_process)
    finally:
        B.stop_all()
        restore_sysctls(changed)


def idle_scale(bindir, top, www, count, workers, per_process):
    names = ["mirt", "nginx"]
    servers, ports = start_mirt_and_nginx(
        bindir, top, www, "idle", "%d processes" % workers,
        {"workers": str(workers), "connections": per_process, "per_address": count},
        {"workers": str(workers), "connections": min(2 * per_process, FD_LIMIT - 64),
         "reuseport": workers > 1})
    B.note("HTTP, %s idle connections: %s; %d processes each (%d descriptors a process); "
           "%d rounds of %d s per load; medians." % (
               "{:,}".format(count), B.machine_line(), workers, FD_LIMIT, IDLE_REPEATS, SECONDS))
    table = B.Table("HTTP, %s idle keep-alive connections (each answered once, then silent; "
                    "mirt Workers=%d, nginx worker_processes %d)" % (
                        "{:,}".format(count), workers, workers),
                    names)
    clients = build_helper(top, "idle_clients")
    without = {n: [] for n in names}
    with_idle = {n: [] for n in names}
    share = {n: [] for n in names}
    per_idle = {n: [] for n in names}
    for _, name in B.rounds(names, IDLE_REPEATS):
        got = idle_round(clients, name, servers[name].pid, ports[name], count, True)
        if got:
            before, after, _, kib = got
            without[name].append(before)
            with_idle[name].append(after)
            per_idle[name].append(kib)
            if before[0] and after[0]:
                share[name].append(after[0] / before[0])
    table.add("memory per idle keep-alive connection (resident, all processes)", "KiB", False,
              {n: max(per_idle[n]) if per_idle[n] else None for n in names},
              key="idle_many_kib")
    for label, runs in (("just before the idle connections open", without),
                        ("%s idle connections open" % "{:,}".format(count), with_idle)):
        table.add("keep-alive 1 KiB file, c=32, %s: requests/s" % label, "req/s", True,
                  {n: B.median([run[0] for run in runs[n]]) for n in names})
        table.add("keep-alive 1 KiB file, c=32, %s: server CPU per request" % label,
                  "us", False, {n: B.median([run[1] for run in runs[n]]) for n in names})
    table.add("keep-alive c=32 with the idle connections open / just before (same round)",
              "x", True, {n: B.median(share[n]) for n in names}, key="idle_many_share")
    table.print()


def run_plain(bindir, top, www):
    servers = {}
    ports = {}
    for name in ("mirt", "nginx", "lighttpd", "floor"):
        home = os.path.join(top, name)
        os.makedirs(home)
        ports[name] = B.free_port()
        if name == "mirt":
            servers[name] = start_mirt(bindir, home, www, ports[name])
        elif name == "nginx":
            servers[name] = start_nginx(home, www, ports[name])
        elif name == "lighttpd":
            servers[name] = start_lighttpd(home, www, ports[name])
        else:
            servers[name] = start_bare(home, ports[name])

    with open(os.path.join(www, "f1k.bin"), "rb") as f:
        small = f.read()
    for name, port in ports.items():
        status, body = fetch(port, "/f1k.bin")
        if status != 200 or len(body) != len(small) or (name != "floor" and body != small):
            sys.exit("%s does not serve the tree as expected" % name)
        if name == "floor":
            continue
        status, body = fetch(port, "/dir1000/")
        if status != 200 or body.count(b"entry0999.txt") < 1:
            sys.exit("%s does not list the directory" % name)

    sampler = B.RssSampler()
    for name, proc in servers.items():
        if name != "floor":
            sampler.watch(name, proc)
    sampler.begin()
    mirt_pid = servers["mirt"].pid
    names = list(servers)
    file_servers = [n for n in names if n != "floor"]
    B.note("HTTP: %s; %d rounds of %d s per load (%d for keep-alive c=32), servers in "
           "turn; medians." % (B.machine_line(), REPEATS, SECONDS, TARGET_REPEATS))

    table = B.Table("HTTP (ab -c N, HTTP/1.0, Connection: close; wrk -c N over persistent "
                    "connections; curl for the 256 MiB file; floor: the bare loop)",
                    names)
    served = 0
    rss_warm = None
    # (label, path, concurrency, client, whether the floor can serve it)
    loads = [("1 KiB file, c=1", "/f1k.bin", 1, ab, True),
             ("1 KiB file, c=32", "/f1k.bin", 32, ab, True),
             ("1 MiB file, c=8", "/f1m.bin", 8, ab, False),
             ("listing of 1000 entries, c=1", "/dir1000/", 1, ab, False),
             ("keep-alive 1 KiB file, c=1", "/f1k.bin", 1, wrk, True),
             ("keep-alive 1 KiB file, c=32", "/f1k.bin", 32, wrk, True)]
    keepalive32 = None
    for label, path, conc, client, floor in loads:
        who = names if floor else file_servers
        rps = {n: [] for n in who}
        med = {n: [] for n in who}
        cpu = {n: [] for n in who}
        target = client is wrk and conc == 32
        for _, name in B.rounds(who, TARGET_REPEATS if target else REPEATS):
            before = B.group_cpu(servers[name].pid)
            r, m, done = client(ports[name], path, conc)
            used = B.group_cpu(servers[name].pid) - before
            rps[name].append(r)
            med[name].append(m)
            cpu[name].append(1e6 * used / done if done else None)
            if name == "mirt":
                served += done
                if rss_warm is None:
                    rss_warm = B.status_kib(mirt_pid, "VmRSS")
        medians = {n: B.median(rps[n]) for n in who}
        if target:
            keepalive32 = medians
        table.add(label + ": requests/s", "req/s", True, medians)
        table.add(label + ": median latency", "ms", False,
                  {n: B.median(med[n]) for n in who})
        table.add(label + ": server CPU per request", "us", False,
                  {n: B.median(cpu[n]) for n in who},
                  key="keep32_cpu" if target else None)

    speeds = {n: [] for n in file_servers}
    cpu = {n: [] for n in file_servers}
    for _, name in B.rounds(file_servers, BULK_REPEATS):
        before = B.group_cpu(servers[name].pid)
        speeds[name].append(download(ports[name], "/big.bin"))
        cpu[name].append(1000 * (B.group_cpu(servers[name].pid) - before))
        if name == "mirt":
            served += 1
    table.add("256 MiB download (curl)", "MiB/s", True,
              {n: B.median(speeds[n]) for n in file_servers})
    table.add("256 MiB download: server CPU", "ms", False,
              {n: B.median(cpu[n]) for n in file_servers})
    sampler.end()
    table.add("peak RSS (process group)", "MiB", False,
              {n: sampler.peak(n) / (1 << 20) for n in file_servers})
    # The same keep-alive load while IDLE clients sit connected and silent
    # after one answer each:
    # a server whose waiting or idle checks grow with its connections slows
    # down here. Each round opens them afresh, so no server's time limit for
    # a silent client runs out during the run.
    rps = {n: [] for n in names}
    per_idle = {n: [] for n in names}
    clients = build_helper(top, "idle_clients")
    for _, name in B.rounds(names, REPEATS):
        got = idle_round(clients, name, servers[name].pid, ports[name], IDLE, False)
        if got:
            _, (r, _), done, kib = got
            rps[name].append(r)
            per_idle[name].append(kib)
            if name == "mirt":
                served += done
    with_idle = {n: B.median(rps[n]) for n in names}
    table.add("keep-alive 1 KiB file, c=32, %d idle connections open: requests/s" % IDLE,
              "req/s", True, with_idle)
    # Memory freed by one round's connections is reused by the next one's,
    # so only the first round shows the growth: the largest figure counts.
    table.add("memory per idle keep-alive connection (resident, process group)", "KiB", False,
              {n: max(per_idle[n]) if per_idle[n] else None for n in names}, key="idle_kib")

    table.print()
    for name in names:
        if keepalive32 and keepalive32.get(name) and with_idle.get(name):
            B.note("%s with %d idle connections open: %.2f of its own keep-alive c=32 figure." % (
                name, IDLE, with_idle[name] / keepalive32[name]))
    B.note("mirt resident memory: %d KiB after its first load, %d KiB after %d requests." % (
        rss_warm or 0, B.status_kib(mirt_pid, "VmRSS"), served))



LIGHTTPD_TLS = "/usr/lib/lighttpd/mod_openssl.so"


def start_mirt_tls(bindir, home, www, port, tls_port, cert, key):
    os.makedirs(os.path.join(home, "logs"))
    with open(os.path.join(home, "mirt.ini"), "w") as f:
        f.write(f"""; bench/http_bench.py, HTTPS (the first line is never read)
Port={port}
TLSPort={tls_port}
TLSCertificate={cert}
TLSKey={key}
Address=127.0.0.1
ExternIP=http://127.0.0.1:{port}
Timeout=30
MaxConnections=1000
MaxPerAddress=1000
AddVirtual=/;{www}
LogRotation=2
LogMaxEntries=10000000
LogMaxAge=24
LogDir=logs
""")
    proc = B.start("mirt", [os.path.join(bindir, "mirt")], home, port,
                   os.path.join(home, "console.txt"))
    if not B.wait_for(lambda: B.listening(tls_port), 10):
        sys.exit("mirt does not listen on its TLS port")
    return proc


def tls_session(port):
    """The protocol and cipher a TLS session with the server settles on."""
    out = subprocess.run(["curl", "-sS", "-k", "-v", "--max-time", "30", "-o", "/dev/null",
                          "https://127.0.0.1:%d/f1k.bin" % port],
                         capture_output=True, text=True, timeout=60).stderr
    for line in out.splitlines():
        if "SSL connection using" in line:
            return line.split("SSL connection using", 1)[1].strip()
    sys.stderr.write("no TLS session with port %d:\n%s\n" % (port, out))
    return None


def keep_alive_tls(table, names, ports, servers):
    rps = {n: [] for n in names}
    med = {n: [] for n in names}
    cpu = {n: [] for n in names}
    for _, name in B.rounds(names, REPEATS):
        before = B.group_cpu(servers[name].pid)
        r, m, done = wrk(ports[name], "/f1k.bin", 32, "https")
        used = B.group_cpu(servers[name].pid) - before
        rps[name].append(r)
        med[name].append(m)
        cpu[name].append(1e6 * used / done if done else None)
    label = "keep-alive 1 KiB file over TLS, c=32"
    table.add(label + ": requests/s", "req/s", True, {n: B.median(rps[n]) for n in names})
    table.add(label + ": median latency", "ms", False, {n: B.median(med[n]) for n in names})
    table.add(label + ": server CPU per request", "us", False,
              {n: B.median(cpu[n]) for n in names})


def children_cpu():
    """Seconds of processor time used by the reaped clients (curl)."""
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    return used.ru_utime + used.ru_stime


def run_tls(bindir, top, www):
    """HTTPS: fresh instances, one self-signed certificate for all."""
    cert_dir = os.path.join(top, "tls")
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts",
                          "demo-certificate.sh")
    subprocess.run(["sh", script, cert_dir], check=True, stdout=subprocess.DEVNULL)
    cert = os.path.join(cert_dir, "demo-cert.pem")
    key = os.path.join(cert_dir, "demo-key.pem")
    names = ["mirt", "nginx"]
    if os.path.exists(LIGHTTPD_TLS):
        names.append("lighttpd")
    else:
        B.note("HTTPS: lighttpd sits out (no %s: Debian's lighttpd-mod-openssl)." % LIGHTTPD_TLS)
    taken = set()

    def port():
        p = B.free_port()
        while p in taken:
            p = B.free_port()
        taken.add(p)
        return p

    servers = {}
    ports = {}  # the HTTPS port of each
    for name in names:
        home = os.path.join(top, name + "-tls")
        os.makedirs(home)
        ports[name] = port()
        if name == "mirt":
            servers[name] = start_mirt_tls(bindir, home, www, port(), ports[name], cert, key)
        elif name == "nginx":
            servers[name] = start_nginx(home, www, ports[name], cert, key)
        else:
            servers[name] = start_lighttpd(home, www, ports[name], cert, key)
    for name in names:
        session = tls_session(ports[name])
        if session is None:
            sys.exit("%s does not answer over HTTPS" % name)
        B.note("HTTPS: %s settles on %s." % (name, session))
    path = B.tls_sends(os.path.join(top, "mirt-tls", "console.txt"))
    B.note("HTTPS: mirt's TLS sends: %s." % path)

    table = B.Table("HTTPS (one self-signed certificate; wrk -c 32 over persistent "
                    "connections; curl -k for the 256 MiB file)", names)
    if os.environ.get("BENCH_ONLY") != "tls-bulk":
        keep_alive_tls(table, names, ports, servers)
    speeds = {n: [] for n in names}
    cpu = {n: [] for n in names}
    client = {n: [] for n in names}
    for _, name in B.rounds(names, BULK_REPEATS):
        before = B.group_cpu(servers[name].pid)
        curl_before = children_cpu()
        speeds[name].append(download(ports[name], "/big.bin", "https"))
        cpu[name].append(1000 * (B.group_cpu(servers[name].pid) - before))
        client[name].append(1000 * (children_cpu() - curl_before))
    table.add("256 MiB download over TLS (curl -k; mirt: %s)" % path, "MiB/s", True,
              {n: B.median(speeds[n]) for n in names}, key="https_bulk_speed")
    table.add("256 MiB download over TLS: server CPU (mirt: %s)" % path, "ms", False,
              {n: B.median(cpu[n]) for n in names}, key="https_bulk_cpu")
    # The client shares the cores: a server whose records cost curl more
    # to take in would show here, not in its own CPU.
    table.add("256 MiB download over TLS: curl's CPU", "ms", False,
              {n: B.median(client[n]) for n in names})
    for name, proc in servers.items():
        if proc.poll() is not None:
            sys.exit("%s ended during the run (status %s); see its console." % (
                name, proc.returncode))
    table.print()


if __name__ == "__main__":
    main()
