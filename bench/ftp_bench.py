#!/usr/bin/env python3
"""zolf beside vsftpd on loopback, serving the same generated tree.

Loads, each run against both servers in turn (REPEATS rounds, three times
as many for the RETR over TLS; order rotated), medians printed with the ratio zolf/vsftpd:
  - a 256 MiB RETR and a 256 MiB STOR over PASV, binary (curl), MiB/s of
    the transfer itself (curl's own setup waits are left out);
  - sessions per second, each login, CWD, LIST of 10 entries, QUIT
    (Python's ftplib), with 1 client and with 16 clients at once;
  - memory per logged-in session waiting for its next command: IDLE
    sessions held open on a fresh instance of each server (vsftpd forks a
    process per session, so it gets fewer of them);
  - the 256 MiB RETR and STOR again over explicit TLS (curl --ssl-reqd:
    AUTH TLS, PROT P), both servers with one self-signed certificate, each
    in an instance of its own started after the loads above.
zolf logs in the account "bench" with its command log on; vsftpd takes
anonymous logins chrooted to the tree (it forks one process per session:
it has no worker setting). Both bind 127.0.0.1 only.

Usage: ftp_bench.py BIN_DIR    (environment: REPEATS=3, SECONDS_PER_RUN=3,
                               BENCH_ONLY=tls for the TLS transfers alone,
                               BENCH_ONLY=tls-bulk for the TLS RETR alone,
                               BENCH_ONLY=idle for the idle sessions alone)
"""
import ftplib
import multiprocessing
import os
import pwd
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib as B  # noqa: E402

REPEATS = int(os.environ.get("REPEATS", "3"))
# A 256 MiB RETR over TLS takes half a second, short enough for the load of
# a shared machine to swing one by a third: that row takes three times the
# rounds, so its median holds still.
BULK_REPEATS = 3 * REPEATS
SECONDS = float(os.environ.get("SECONDS_PER_RUN", "3"))
BIG = 256 << 20
DATA_PORTS = 48


def make_tree(root, upload_owner):
    os.makedirs(os.path.join(root, "small"))
    os.makedirs(os.path.join(root, "up"))
    os.chmod(root, 0o755)
    # vsftpd refuses a chroot it could write to, and writes uploads as its
    # unprivileged user: only up/ belongs to that user.
    if upload_owner is not None:
        os.chown(os.path.join(root, "up"), upload_owner, -1)
    for i in range(1, 11):
        with open(os.path.join(root, "small", "file%d.txt" % i), "w") as f:
            f.write("file %d\n" % i)
    with open("/dev/urandom", "rb") as rnd, open(os.path.join(root, "big.bin"), "wb") as f:
        left = BIG
        while left:
            piece = rnd.read(min(left, 8 << 20))
            f.write(piece)
            left -= len(piece)
    os.chmod(os.path.join(root, "big.bin"), 0o644)


def start_zolf(bindir, home, root, port, extra="", users=32):
    os.makedirs(os.path.join(home, "accounts"))
    os.makedirs(os.path.join(home, "logs"))
    # zolf's passive ports run from DataPort to DataPort+MaxUsers.
    data = B.free_port_run(max(DATA_PORTS, users + 1), avoid=(port,))
    with open(os.path.join(home, "zolf.ini"), "w") as f:
        f.write(f"""; bench/ftp_bench.py (the first line is never read)
MaximumBandwidth=0
Address=127.0.0.1
ExternIP=127.0.0.1
TimeoutTime=240
MaxUsers={users}
MaxPerAddress={users}
Port={port}
DataPort={data}
LogMaxEntries=10000000
LogRotation=2
LogMaxAge=24
LogDir=logs
{extra}""")
    with open(os.path.join(home, "accounts", "bench.ini"), "w") as f:
        f.write(f"""; bench account
PassWord=bench
AllowIPAddress=ALL
CloseIfIdle=no
AllowFullBandwidth=yes
RootDirectory={root}
DiskQuota=0
AddCommand=CWD
AddCommand=PASV
AddCommand=LIST
AddCommand=RETR
AddCommand=SIZE
AddCommand=STOR
AddCommand=DELE
AddCommand=TYPE
""")
    return B.start("zolf", [os.path.join(bindir, "zolf")], home, port,
                   os.path.join(home, "console.txt"))


def start_vsftpd(home, root, port, ftp_user, extra="", clients=64):
    empty = os.path.join(home, "empty")
    os.makedirs(empty)
    data = B.free_port_run(DATA_PORTS, avoid=(port,))
    conf = os.path.join(home, "vsftpd.conf")
    with open(conf, "w") as f:
        # The sandboxes need namespaces and system calls a container may
        # not grant; they are switched off here.
        f.write(f"""listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port={port}
background=NO
anonymous_enable=YES
local_enable=NO
anon_root={root}
no_anon_password=YES
ftp_username={ftp_user}
write_enable=YES
anon_upload_enable=YES
anon_umask=022
pasv_enable=YES
pasv_address=127.0.0.1
pasv_min_port={data}
pasv_max_port={data + DATA_PORTS - 1}
secure_chroot_dir={empty}
seccomp_sandbox=NO
isolate_network=NO
isolate=NO
xferlog_enable=YES
xferlog_file={home}/xfer.log
vsftpd_log_file={home}/vsftpd.log
max_clients={clients}
max_per_ip={clients}
connect_from_port_20=NO
dirmessage_enable=NO
{extra}""")
    return B.start("vsftpd", ["vsftpd", conf], home, port,
                   os.path.join(home, "console.txt"))


def curl(args):
    out = subprocess.run(["curl", "-sS", "--max-time", "120"] + args,
                         capture_output=True, text=True, timeout=180)
    return out.stdout.split(), out.stderr


# curl's figures for the transfer: bytes, and the times at which it was about
# to start (login and data connection done) and ended.
TRANSFER = "-w", "%{size_download} %{size_upload} %{time_pretransfer} %{time_total}"


def speed(out):
    """MiB/s of the transfer itself, from curl's -w TRANSFER output: the
    time curl spends setting up (it waits 0.2 s, sometimes more than a
    second, around the passive data connection, whichever the server) is
    left out, or it would weigh more than a 256 MiB transfer takes."""
    moved = max(int(float(out[0])), int(float(out[1])))
    took = float(out[3]) - float(out[2])
    return moved / took / (1 << 20) if took > 0 else None


def retr(port, user, password, tls=()):
    out, err = curl(list(tls) + ["-u", "%s:%s" % (user, password), "-o", "/dev/null",
                                 *TRANSFER, "ftp://127.0.0.1:%d/big.bin" % port])
    if len(out) != 4 or int(float(out[0])) != BIG:
        sys.stderr.write("RETR from port %d came short: %s %s\n" % (port, out, err))
        return None
    return speed(out)


def stor(port, user, password, source, target, landed, tls=()):
    out, err = curl(list(tls) + ["-u", "%s:%s" % (user, password), "-T", source,
                                 *TRANSFER, "ftp://127.0.0.1:%d/up/%s" % (port, target)])
    ok = len(out) == 4 and int(float(out[1])) == BIG and \
        os.path.exists(landed) and os.path.getsize(landed) == BIG
    if os.path.exists(landed):
        os.unlink(landed)
    if not ok:
        sys.stderr.write("STOR to port %d failed: %s %s\n" % (port, out, err))
        return None
    return speed(out)


def session_client(args):
    port, user, password, seconds = args
    done = 0
    end = time.time() + seconds
    while time.time() < end:
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", port, timeout=10)
        ftp.login(user, password)
        ftp.cwd("small")
        lines = []
        ftp.retrlines("LIST", lines.append)
        if len(lines) != 10:
            raise RuntimeError("LIST gave %d lines" % len(lines))
        ftp.quit()
        done += 1
    return done


def sessions(pool, clients, port, user, password):
    total = sum(pool.map(session_client, [(port, user, password, SECONDS)] * clients))
    return total / SECONDS


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    bindir = os.path.abspath(sys.argv[1])
    if not os.access(os.path.join(bindir, "zolf"), os.X_OK):
        sys.exit("No zolf in %s; build first (make)." % bindir)
    top = tempfile.mkdtemp(prefix="bf-", dir="/tmp")
    os.chmod(top, 0o755)
    try:
        run(bindir, top)
    finally:
        B.stop_all()
        if os.environ.get("BENCH_KEEP"):
            print("kept", top)
        else:
            shutil.rmtree(top, ignore_errors=True)


def run(bindir, top):
    try:
        ftp_user = "ftp"
        owner = pwd.getpwnam(ftp_user).pw_uid
    except KeyError:
        sys.exit("vsftpd needs the system user 'ftp' (the vsftpd package makes it).")
    root = os.path.join(top, "root")
    make_tree(root, owner)
    source = os.path.join(top, "source.bin")
    shutil.copyfile(os.path.join(root, "big.bin"), source)
    only = os.environ.get("BENCH_ONLY")
    if only not in ("tls", "tls-bulk", "idle"):
        run_plain(bindir, top, root, source, ftp_user)
        B.stop_all()
    if only in (None, "", "idle"):
        run_idle(bindir, top, root, ftp_user)
        B.stop_all()
    if only != "idle":
        run_tls(bindir, top, root, source, ftp_user)


def run_plain(bindir, top, root, source, ftp_user):
    ports = {"zolf": B.free_port(), "vsftpd": B.free_port()}
    servers = {}
    for name in ports:
        home = os.path.join(top, name)
        os.makedirs(home)
        if name == "zolf":
            servers[name] = start_zolf(bindir, home, root, ports[name])
        else:
            servers[name] = start_vsftpd(home, root, ports[name], ftp_user)
    login = {"zolf": ("bench", "bench"), "vsftpd": ("anonymous", "bench@")}
    names = list(servers)

    sampler = B.RssSampler()
    for name, proc in servers.items():
        sampler.watch(name, proc)
    sampler.begin()
    B.note("FTP: %s; %d rounds, %g s per sessions run, servers in turn; medians." % (
        B.machine_line(), REPEATS, SECONDS))
    table = B.Table("FTP (curl, passive, binary; ftplib sessions: login, CWD, LIST, QUIT)",
                    names)

    speeds = {n: [] for n in names}
    cpu = {n: [] for n in names}
    for _, name in B.rounds(names, REPEATS):
        speed, used = B.timed(servers[name].pid,
                              lambda: retr(ports[name], *login[name]))
        speeds[name].append(speed)
        cpu[name].append(used)
    table.add("256 MiB RETR", "MiB/s", True, {n: B.median(speeds[n]) for n in names})
    table.add("256 MiB RETR: server CPU", "ms", False, {n: B.median(cpu[n]) for n in names})
    rss_warm = B.status_kib(servers["zolf"].pid, "VmRSS")

    speeds = {n: [] for n in names}
    cpu = {n: [] for n in names}
    for r, name in B.rounds(names, REPEATS):
        target = "run%d-%s.bin" % (r, name)
        speed, used = B.timed(servers[name].pid,
                              lambda: stor(ports[name], *login[name], source, target,
                                           os.path.join(root, "up", target)))
        speeds[name].append(speed)
        cpu[name].append(used)
    table.add("256 MiB STOR", "MiB/s", True, {n: B.median(speeds[n]) for n in names})
    table.add("256 MiB STOR: server CPU", "ms", False, {n: B.median(cpu[n]) for n in names})

    served = 0
    with multiprocessing.Pool(16) as pool:
        for clients in (1, 16):
            rate = {n: [] for n in names}
            cpu = {n: [] for n in names}
            for _, name in B.rounds(names, REPEATS):
                per_second, used = B.timed(
                    servers[name].pid, lambda: sessions(pool, clients, ports[name], *login[name]))
                rate[name].append(per_second)
                cpu[name].append(1000 * used / (per_second * SECONDS) if per_second else None)
                if name == "zolf":
                    served += int(per_second * SECONDS)
            label = "sessions, %d client%s" % (clients, "s" if clients > 1 else "")
            table.add(label, "sessions/s", True, {n: B.median(rate[n]) for n in names})
            table.add(label + ": server CPU per session", "us", False,
                      {n: B.median(cpu[n]) for n in names})
    sampler.end()
    for name, proc in servers.items():
        if proc.poll() is not None:
            sys.exit("%s ended during the run (status %s); see its console." % (
                name, proc.returncode))
    table.add("peak RSS (process group)", "MiB", False,
              {n: sampler.peak(n) / (1 << 20) for n in names})
    table.print()
    B.note("zolf resident memory: %d KiB after the downloads, %d KiB after %d more sessions." % (
        rss_warm, B.status_kib(servers["zolf"].pid, "VmRSS"), served))


# Sessions held open for the idle row. vsftpd forks a process (two with
# its privilege separation) per session: a tenth of zolf's count shows its
# figure without filling the machine.
IDLE = {"zolf": 2000, "vsftpd": 200}


def group_pss(pgid):
    """Proportional resident bytes of the server's processes: a page that
    a forking server's processes share counts once among them, not once in
    each as in the resident set."""
    total = 0
    for pid in B._family(pgid):
        try:
            with open("/proc/%d/smaps_rollup" % pid) as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1]) * 1024
                        break
        except (OSError, ValueError):
            continue
    return total


def reply(sock, pending):
    """The next whole reply's code, reading as needed; `pending` holds the
    bytes received beyond the replies taken so far."""
    while True:
        lines = pending[0].split(b"\r\n")
        for i, line in enumerate(lines[:-1]):
            if len(line) >= 4 and line[:3].isdigit() and line[3:4] == b" ":
                pending[0] = b"\r\n".join(lines[i + 1:])
                return int(line[:3])
        piece = sock.recv(4096)
        if not piece:
            raise OSError("closed while a reply was due")
        pending[0] += piece


def logged_in(port, user, password):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    pending = [b""]
    try:
        for line, want in ((None, 220), ("USER " + user, 331), ("PASS " + password, 230)):
            if line:
                s.sendall(line.encode() + b"\r\n")
            got = reply(s, pending)
            if got == 230:  # vsftpd asks no anonymous password
                break
            if got != want:
                raise OSError("%s answered %d" % (line or "connect", got))
    except OSError:
        s.close()
        raise
    return s


def run_idle(bindir, top, root, ftp_user):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = 2 * max(IDLE.values()) + 256
    if soft < want:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(want, hard), hard))
    ports = {"zolf": B.free_port(), "vsftpd": B.free_port()}
    while ports["vsftpd"] == ports["zolf"]:
        ports["vsftpd"] = B.free_port()
    servers = {}
    for name in ports:
        home = os.path.join(top, name + "-idle")
        os.makedirs(home)
        if name == "zolf":
            servers[name] = start_zolf(bindir, home, root, ports[name],
                                       users=IDLE[name] + 16)
        else:
            servers[name] = start_vsftpd(home, root, ports[name], ftp_user,
                                         clients=IDLE[name] + 16)
    login = {"zolf": ("bench", "bench"), "vsftpd": ("anonymous", "bench@")}
    names = list(servers)
    per_session = {n: [] for n in names}
    for _, name in B.rounds(names, REPEATS):
        pid = servers[name].pid
        # One session first: what any session makes once (log buffers,
        # the account's quota record) is not counted per session.
        logged_in(ports[name], *login[name]).close()
        size = B.group_size(pid)
        B.settle(pid, size)
        before = group_pss(pid)
        held = []
        try:
            for _ in range(IDLE[name]):
                held.append(logged_in(ports[name], *login[name]))
            # Every session still answers: none was dropped or stalled.
            for s in held[::max(1, len(held) // 20)]:
                s.sendall(b"NOOP\r\n")
                if reply(s, [b""]) != 200:
                    raise OSError("NOOP refused")
            per_session[name].append((group_pss(pid) - before) / len(held) / 1024)
        except OSError as e:
            sys.stderr.write("%s: idle session %d failed: %s\n" % (name, len(held) + 1, e))
        finally:
            for s in held:
                s.close()
        B.wait_for(lambda: B.group_size(pid) <= size, 10)
    for name, proc in servers.items():
        if proc.poll() is not None:
            sys.exit("%s ended during the run (status %s); see its console." % (
                name, proc.returncode))
    table = B.Table("FTP sessions waiting for a command (logged in, silent)", names)
    # The first round's figure: later rounds reuse what the first one's
    # sessions left free in the server's heap.
    table.add("memory per idle logged-in session (PSS, process group; %s)" %
              ", ".join("%s %d" % (n, IDLE[n]) for n in names), "KiB", False,
              {n: max(per_session[n]) if per_session[n] else None for n in names},
              key="zolf_idle_kib")
    table.print()


# curl over explicit TLS: AUTH TLS on the command port, PROT P for the data;
# it fails rather than go on in clear text. The certificate is self-signed.
CURL_TLS = ("--ssl-reqd", "-k")


def tls_session(port, user, password):
    """The protocol and cipher a TLS session with the server settles on."""
    out = subprocess.run(["curl", "-sS", "-v", "--max-time", "30"] + list(CURL_TLS) +
                         ["-u", "%s:%s" % (user, password), "-o", "/dev/null",
                          "ftp://127.0.0.1:%d/small/file1.txt" % port],
                         capture_output=True, text=True, timeout=60).stderr
    for line in out.splitlines():
        if "SSL connection using" in line:
            return line.split("SSL connection using", 1)[1].strip()
    sys.stderr.write("no TLS session with port %d:\n%s\n" % (port, out))
    return None


def run_tls(bindir, top, root, source, ftp_user):
    """The 256 MiB transfers over TLS, each server a fresh instance with the
    same certificate; vsftpd takes anonymous logins over TLS only."""
    cert_dir = os.path.join(top, "tls")
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts",
                          "demo-certificate.sh")
    subprocess.run(["sh", script, cert_dir], check=True, stdout=subprocess.DEVNULL)
    cert = os.path.join(cert_dir, "demo-cert.pem")
    key = os.path.join(cert_dir, "demo-key.pem")
    ports = {"zolf": B.free_port(), "vsftpd": B.free_port()}
    while ports["vsftpd"] == ports["zolf"]:
        ports["vsftpd"] = B.free_port()
    servers = {}
    for name in ports:
        home = os.path.join(top, name + "-tls")
        os.makedirs(home)
        if name == "zolf":
            servers[name] = start_zolf(bindir, home, root, ports[name],
                                       "TLSCertificate=%s\nTLSKey=%s\n" % (cert, key))
        else:
            # Modern ciphers, as zolf's defaults; the data connections must
            # resume the command connection's session (require_ssl_reuse,
            # on by default), which curl does.
            servers[name] = start_vsftpd(home, root, ports[name], ftp_user, f"""ssl_enable=YES
allow_anon_ssl=YES
force_anon_logins_ssl=YES
force_anon_data_ssl=YES
ssl_ciphers=HIGH
rsa_cert_file={cert}
rsa_private_key_file={key}
""")
    login = {"zolf": ("bench", "bench"), "vsftpd": ("anonymous", "bench@")}
    names = list(servers)
    for name in names:
        session = tls_session(ports[name], *login[name])
        if session is None:
            sys.exit("%s does not answer over TLS" % name)
        B.note("FTPS: %s settles on %s." % (name, session))
    path = B.tls_sends(os.path.join(top, "zolf-tls", "console.txt"))
    B.note("FTPS: zolf's TLS sends: %s." % path)

    table = B.Table("FTPS (curl --ssl-reqd: AUTH TLS, PROT P; passive, binary; "
                    "one self-signed certificate)", names)
    speeds = {n: [] for n in names}
    cpu = {n: [] for n in names}
    for _, name in B.rounds(names, BULK_REPEATS):
        speed, used = B.timed(servers[name].pid,
                              lambda: retr(ports[name], *login[name], tls=CURL_TLS))
        speeds[name].append(speed)
        cpu[name].append(used)
    table.add("256 MiB RETR over TLS (zolf: %s)" % path, "MiB/s", True,
              {n: B.median(speeds[n]) for n in names}, key="ftps_retr_speed")
    table.add("256 MiB RETR over TLS: server CPU (zolf: %s)" % path, "ms", False,
              {n: B.median(cpu[n]) for n in names}, key="ftps_retr_cpu")
    if os.environ.get("BENCH_ONLY") != "tls-bulk":
        stor_tls(table, servers, ports, login, root, source)
    for name, proc in servers.items():
        if proc.poll() is not None:
            sys.exit("%s ended during the run (status %s); see its console." % (
                name, proc.returncode))
    table.print()


def stor_tls(table, servers, ports, login, root, source):
    names = list(servers)
    speeds = {n: [] for n in names}
    cpu = {n: [] for n in names}
    for r, name in B.rounds(names, REPEATS):
        target = "tls%d-%s.bin" % (r, name)
        speed, used = B.timed(servers[name].pid,
                              lambda: stor(ports[name], *login[name], source, target,
                                           os.path.join(root, "up", target),
                                           tls=CURL_TLS))
        speeds[name].append(speed)
        cpu[name].append(used)
    table.add("256 MiB STOR over TLS", "MiB/s", True, {n: B.median(speeds[n]) for n in names})
    table.add("256 MiB STOR over TLS: server CPU", "ms", False,
              {n: B.median(cpu[n]) for n in names})


if __name__ == "__main__":
    main()
