#!/usr/bin/env python3
"""mirt beside nginx and lighttpd, one worker each, on loopback.

All three serve the same generated tree; every load runs against each server
in turn (REPEATS rounds, order rotated), and the medians are printed with the
ratio ours/peer. Loads: ab (HTTP/1.0, Connection: close) for a 1 KiB file at
concurrency 1 and 32, a 1 MiB file at concurrency 8 and the listing of a
directory of 1000 entries at concurrency 1; curl for one 256 MiB download.

Usage: http_bench.py BIN_DIR    (environment: REPEATS=3, SECONDS_PER_RUN=3)
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib as B  # noqa: E402

REPEATS = int(os.environ.get("REPEATS", "3"))
SECONDS = int(os.environ.get("SECONDS_PER_RUN", "3"))
BIG = 256 << 20


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


def start_mirt(bindir, home, www, port):
    os.makedirs(os.path.join(home, "logs"))
    with open(os.path.join(home, "mirt.ini"), "w") as f:
        f.write(f"""; bench/http_bench.py (the first line is never read)
Port={port}
Address=127.0.0.1
ExternIP=http://127.0.0.1:{port}
Timeout=30
MaxConnections=256
MaxPerAddress=256
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


def start_nginx(home, www, port):
    os.makedirs(os.path.join(home, "tmp"))
    conf = os.path.join(home, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""worker_processes 1;
daemon off;
pid {home}/nginx.pid;
error_log {home}/error.log;
events {{ worker_connections 1024; }}
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
  keepalive_timeout 0;
  server {{
    listen 127.0.0.1:{port};
    root {www};
    autoindex on;
  }}
}}
""")
    return B.start("nginx", ["nginx", "-c", conf, "-p", home + "/"], home, port,
                   os.path.join(home, "console.txt"))


def start_lighttpd(home, www, port):
    conf = os.path.join(home, "lighttpd.conf")
    with open(conf, "w") as f:
        f.write(f"""server.document-root = "{www}"
server.bind = "127.0.0.1"
server.port = {port}
server.errorlog = "{home}/error.log"
server.max-worker = 0
server.max-keep-alive-requests = 0
server.modules = ( "mod_dirlisting", "mod_accesslog" )
accesslog.filename = "{home}/access.log"
dir-listing.activate = "enable"
mimetype.assign = ( ".htm" => "text/html", ".txt" => "text/plain" )
""")
    return B.start("lighttpd", ["lighttpd", "-D", "-f", conf], home, port,
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


def download(port, path):
    """MiB/s of one curl download to /dev/null, or None when it came short."""
    out = subprocess.run(
        ["curl", "-sS", "-o", "/dev/null", "-w", "%{size_download} %{speed_download}",
         "--max-time", "120", "http://127.0.0.1:%d%s" % (port, path)],
        capture_output=True, text=True, timeout=180).stdout.split()
    if len(out) != 2 or int(float(out[0])) != BIG:
        sys.stderr.write("download from port %d came short: %s\n" % (port, out))
        return None
    return float(out[1]) / (1 << 20)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    bindir = os.path.abspath(sys.argv[1])
    if not os.access(os.path.join(bindir, "mirt"), os.X_OK):
        sys.exit("No mirt in %s; build first (make)." % bindir)
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
    servers = {}
    ports = {}
    for name in ("mirt", "nginx", "lighttpd"):
        home = os.path.join(top, name)
        os.makedirs(home)
        ports[name] = B.free_port()
        if name == "mirt":
            servers[name] = start_mirt(bindir, home, www, ports[name])
        elif name == "nginx":
            servers[name] = start_nginx(home, www, ports[name])
        else:
            servers[name] = start_lighttpd(home, www, ports[name])

    with open(os.path.join(www, "f1k.bin"), "rb") as f:
        small = f.read()
    for name, port in ports.items():
        status, body = fetch(port, "/f1k.bin")
        if status != 200 or body != small:
            sys.exit("%s does not serve the tree as expected" % name)
        status, body = fetch(port, "/dir1000/")
        if status != 200 or body.count(b"entry0999.txt") < 1:
            sys.exit("%s does not list the directory" % name)

    sampler = B.RssSampler()
    for name, proc in servers.items():
        sampler.watch(name, proc)
    sampler.begin()
    mirt_pid = servers["mirt"].pid
    names = list(servers)
    B.note("HTTP: %s; %d rounds of %d s per load, servers in turn; medians." % (
        B.machine_line(), REPEATS, SECONDS))

    table = B.Table("HTTP (ab -c N, HTTP/1.0, Connection: close; curl for the 256 MiB file)",
                    names)
    served = 0
    rss_warm = None
    loads = [("1 KiB file, c=1", "/f1k.bin", 1),
             ("1 KiB file, c=32", "/f1k.bin", 32),
             ("1 MiB file, c=8", "/f1m.bin", 8),
             ("listing of 1000 entries, c=1", "/dir1000/", 1)]
    for label, path, conc in loads:
        rps = {n: [] for n in names}
        med = {n: [] for n in names}
        cpu = {n: [] for n in names}
        for _, name in B.rounds(names, REPEATS):
            before = B.group_cpu(servers[name].pid)
            r, m, done = ab(ports[name], path, conc)
            used = B.group_cpu(servers[name].pid) - before
            rps[name].append(r)
            med[name].append(m)
            cpu[name].append(1e6 * used / done if done else None)
            if name == "mirt":
                served += done
                if rss_warm is None:
                    rss_warm = B.status_kib(mirt_pid, "VmRSS")
        table.add(label + ": requests/s", "req/s", True,
                  {n: B.median(rps[n]) for n in names})
        table.add(label + ": median latency", "ms", False,
                  {n: B.median(med[n]) for n in names})
        table.add(label + ": server CPU per request", "us", False,
                  {n: B.median(cpu[n]) for n in names})
    speeds = {n: [] for n in names}
    cpu = {n: [] for n in names}
    for _, name in B.rounds(names, REPEATS):
        before = B.group_cpu(servers[name].pid)
        speeds[name].append(download(ports[name], "/big.bin"))
        cpu[name].append(1000 * (B.group_cpu(servers[name].pid) - before))
        if name == "mirt":
            served += 1
    table.add("256 MiB download (curl)", "MiB/s", True,
              {n: B.median(speeds[n]) for n in names})
    table.add("256 MiB download: server CPU", "ms", False,
              {n: B.median(cpu[n]) for n in names})
    sampler.end()
    table.add("peak RSS (process group)", "MiB", False,
              {n: sampler.peak(n) / (1 << 20) for n in names})
    table.print()
    B.note("mirt resident memory: %d KiB after its first load, %d KiB after %d requests." % (
        rss_warm or 0, B.status_kib(mirt_pid, "VmRSS"), served))


if __name__ == "__main__":
    main()
