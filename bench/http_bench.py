#!/usr/bin/env python3
"""mirt beside nginx and lighttpd, one worker each, on loopback.

All three serve the same generated tree; every load runs against each server
in turn (REPEATS rounds, three times as many for the download over TLS;
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

Usage: http_bench.py BIN_DIR    (environment: REPEATS=3, SECONDS_PER_RUN=3,
                                BENCH_ONLY=tls for the HTTPS loads alone,
                                BENCH_ONLY=tls-bulk for the HTTPS download alone,
                                BENCH_ONLY=workers for a worker per core alone)
"""
import os
import re
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib as B  # noqa: E402

REPEATS = int(os.environ.get("REPEATS", "3"))
# A 256 MiB download over TLS takes half a second, short enough for the
# load of a shared machine to swing one by a third: those rows take three
# times the rounds, so their medians hold still.
BULK_REPEATS = 3 * REPEATS
SECONDS = int(os.environ.get("SECONDS_PER_RUN", "3"))
BIG = 256 << 20
IDLE = 10000
# Descriptors for the idle connections on both ends, with room to spare.
FDS = 4 * IDLE


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


def start_mirt(bindir, home, www, port, workers="1"):
    os.makedirs(os.path.join(home, "logs"))
    with open(os.path.join(home, "mirt.ini"), "w") as f:
        f.write(f"""; bench/http_bench.py (the first line is never read)
Workers={workers}
Port={port}
Address=127.0.0.1
ExternIP=http://127.0.0.1:{port}
Timeout=30
KeepAliveTimeout=75
MaxConnections={2 * IDLE}
MaxPerAddress={2 * IDLE}
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


def start_nginx(home, www, port, cert=None, key=None, workers="1"):
    """nginx on `port`; over TLS when given a certificate and its key."""
    tls = ""
    if cert:
        # TLS 1.3 as the others: nginx 1.22 stops at 1.2 by default. Kernel
        # TLS where the kernel offers it, as mirt takes it there.
        tls = (" ssl;\n    ssl_protocols TLSv1.2 TLSv1.3;\n"
               "    ssl_conf_command Options KTLS;\n"
               f"    ssl_certificate {cert};\n    ssl_certificate_key {key}")
    os.makedirs(os.path.join(home, "tmp"))
    conf = os.path.join(home, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""worker_processes {workers};
daemon off;
pid {home}/nginx.pid;
error_log {home}/error.log;
worker_rlimit_nofile {FDS};
events {{ worker_connections {2 * IDLE}; }}
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


def wrk(port, path, concurrency, scheme="http"):
    """(requests/s, median ms, complete requests) of one wrk run over
    persistent connections (HTTP/1.1, the servers' keep-alive defaults)."""
    cmd = ["wrk", "-t1", "-c%d" % concurrency, "-d%ds" % SECONDS, "--latency",
           "%s://127.0.0.1:%d%s" % (scheme, port, path)]
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=SECONDS + 60).stdout
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


IDLE_REQUEST = b"GET /f1k.bin HTTP/1.1\r\nHost: bench\r\n\r\n"


def read_answer(s):
    """Reads one answer with a Content-length from the socket."""
    data = b""
    while b"\r\n\r\n" not in data:
        piece = s.recv(65536)
        if not piece:
            raise OSError("closed before the answer's head")
        data += piece
    head, body = data.split(b"\r\n\r\n", 1)
    length = re.search(rb"(?im)^content-length:\s*(\d+)", head)
    left = int(length.group(1)) - len(body) if length else 0
    while left > 0:
        piece = s.recv(left)
        if not piece:
            raise OSError("closed before the answer's end")
        left -= len(piece)


def open_idle(port, count):
    """`count` keep-alive connections to the port, each answered once and
    then silent (a browser's connection between page loads); the sockets,
    or None when the server would not take them all."""
    idle = []
    try:
        for _ in range(count):
            s = socket.socket()
            s.settimeout(5)
            s.connect(("127.0.0.1", port))
            idle.append(s)
            s.sendall(IDLE_REQUEST)
            read_answer(s)
    except OSError as e:
        sys.stderr.write("idle connection %d to port %d failed: %s\n" % (
            len(idle) + 1, port, e))
        close_all(idle)
        return None
    return idle


def close_all(sockets):
    for s in sockets:
        s.close()


def held_fds(pgid):
    """Descriptors held by every process of the group (nginx's worker holds
    the connections, not the master that was started)."""
    total = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
            if int(stat[stat.rindex(")") + 2:].split()[2]) != pgid:
                continue
            total += len(os.listdir("/proc/%s/fd" % entry))
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


def main():
    global FDS
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    bindir = os.path.abspath(sys.argv[1])
    if not os.access(os.path.join(bindir, "mirt"), os.X_OK):
        sys.exit("No mirt in %s; build first (make)." % bindir)
    # The servers inherit this limit; root may raise the hard one too.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    for limits in ((FDS, max(hard, FDS)) if hard != resource.RLIM_INFINITY else (FDS, hard),
                   (min(FDS, hard), hard)):
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, limits)
            break
        except (ValueError, OSError):
            continue
    # The peers are configured for what the system allows (a hard limit
    # below FDS caps lighttpd's connections at half of it).
    FDS = min(FDS, resource.getrlimit(resource.RLIMIT_NOFILE)[0])
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
    if only in (None, "tls", "tls-bulk"):
        run_tls(bindir, top, www)


def run_workers(bindir, top, www):
    """mirt with Workers=auto beside nginx with worker_processes auto: the
    1 KiB file over persistent connections and closing ones, c=32, with the
    processor time of every process of each server."""
    names = ["mirt", "nginx"]
    servers, ports = {}, {}
    for name in names:
        home = os.path.join(top, name + "-workers")
        os.makedirs(home)
        ports[name] = B.free_port()
        if name == "mirt":
            servers[name] = start_mirt(bindir, home, www, ports[name], workers="auto")
        else:
            servers[name] = start_nginx(home, www, ports[name], workers="auto")
        status, body = fetch(ports[name], "/f1k.bin")
        if status != 200 or len(body) != 1024:
            sys.exit("%s (a worker per core) does not serve the tree as expected" % name)
    B.note("HTTP, a worker per core (%d): %s; %d rounds of %d s per load; medians." % (
        os.cpu_count() or 0, B.machine_line(), REPEATS, SECONDS))
    table = B.Table("HTTP, a worker per core (mirt Workers=auto, nginx worker_processes auto)",
                    names)
    for label, client in (("keep-alive 1 KiB file, c=32", wrk), ("1 KiB file, c=32", ab)):
        rps = {n: [] for n in names}
        cpu = {n: [] for n in names}
        for _, name in B.rounds(names, REPEATS):
            before = B.group_cpu(servers[name].pid)
            r, _, done = client(ports[name], "/f1k.bin", 32)
            used = B.group_cpu(servers[name].pid) - before
            rps[name].append(r)
            cpu[name].append(1e6 * used / done if done else None)
        table.add(label + ": requests/s", "req/s", True, {n: B.median(rps[n]) for n in names})
        table.add(label + ": server CPU per request", "us", False,
                  {n: B.median(cpu[n]) for n in names})
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
    B.note("HTTP: %s; %d rounds of %d s per load, servers in turn; medians." % (
        B.machine_line(), REPEATS, SECONDS))

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
        for _, name in B.rounds(who, REPEATS):
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
        if client is wrk and conc == 32:
            keepalive32 = medians
        table.add(label + ": requests/s", "req/s", True, medians)
        table.add(label + ": median latency", "ms", False,
                  {n: B.median(med[n]) for n in who})
        table.add(label + ": server CPU per request", "us", False,
                  {n: B.median(cpu[n]) for n in who})

    speeds = {n: [] for n in file_servers}
    cpu = {n: [] for n in file_servers}
    for _, name in B.rounds(file_servers, REPEATS):
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
    for _, name in B.rounds(names, REPEATS):
        pid = servers[name].pid
        rss_before = B.group_rss(pid)
        fds_before = held_fds(pid)
        idle = open_idle(ports[name], IDLE)
        if idle is None:
            continue
        held = B.wait_for(lambda: held_fds(pid) >= fds_before + IDLE, 10)
        rss_idle = B.group_rss(pid)
        r, _, done = wrk(ports[name], "/f1k.bin", 32)
        if not held or held_fds(pid) < fds_before + IDLE:
            sys.stderr.write("%s did not hold the %d idle connections (%d descriptors)\n" % (
                name, IDLE, held_fds(pid) - fds_before))
        else:
            rps[name].append(r)
            per_idle[name].append((rss_idle - rss_before) / IDLE / 1024)
        sys.stdout.flush()
        if name == "mirt":
            served += done
        close_all(idle)
        B.wait_for(lambda: held_fds(pid) <= fds_before + 64, 10)
    with_idle = {n: B.median(rps[n]) for n in names}
    table.add("keep-alive 1 KiB file, c=32, %d idle connections open: requests/s" % IDLE,
              "req/s", True, with_idle)
    # Memory freed by one round's connections is reused by the next one's,
    # so only the first round shows the growth: the largest figure counts.
    table.add("memory per idle keep-alive connection (resident, process group)", "KiB", False,
              {n: max(per_idle[n]) if per_idle[n] else None for n in names})

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
              {n: B.median(speeds[n]) for n in names})
    table.add("256 MiB download over TLS: server CPU (mirt: %s)" % path, "ms", False,
              {n: B.median(cpu[n]) for n in names})
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
