#!/usr/bin/env python3
"""Fault-and-load soak for zolf and mirt.

Starts the real server in a scratch directory on free loopback ports, runs
well-behaved clients (byte-exact transfers) beside hostile ones (resets
mid-transfer, silent clients, clients that stop reading, garbage, half
lines, random bytes, a second loopback address, clients that send their
request or login a byte at a time from an address of their own, and a
password guesser from another) for a bounded time, then
checks that the server is alive and answering, that every exact transfer was
exact, that its descriptors and memory are back near their idle figures and
that its logs and quota records agree with what happened.

Prints one summary line ending in "N passed, M failed"; exit status 0 only
when nothing failed.

Usage: soak.py ftp|http BIN_DIR [--seconds S] [--clients N]
"""
import base64
import argparse
import ftplib
import io
import gzip
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

LOOPBACK2 = "127.0.0.2"
SLOW_ADDRESS = "127.0.0.3"      # the slow clients
GUESS_ADDRESS = "127.0.0.4"     # the password guesser


def worker_address(index):
    """Each well-behaved worker talks from an address of its own, so that
    the servers' share of places per address never refuses it."""
    return "127.0.1.%d" % (index + 1)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def free_block(count):
    """The first of `count` consecutive ports, all free a moment ago, below
    the range the kernel hands out to connecting sockets: the many client
    sockets of the run can then never sit on a port the server wants to
    listen on."""
    low = 32768
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        pass
    rng = random.Random()
    for _ in range(200):
        start = rng.randrange(10000, max(10001, low - count))
        socks = []
        try:
            for p in range(start, start + count):
                s = socket.socket()
                socks.append(s)
                s.bind(("0.0.0.0", p))
            return start
        except OSError:
            pass
        finally:
            for s in socks:
                s.close()
    return free_port()


def listening(port):
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
        time.sleep(0.05)
    return cond()


def fd_count(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return -1


def rss_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return -1


def can_bind(address):
    try:
        s = socket.socket()
        s.bind((address, 0))
        s.close()
        return True
    except OSError:
        return False


def can_bind_second_loopback():
    return can_bind(LOOPBACK2)


def many_addresses():
    """Whether the whole 127/8 answers here (it does on Linux's lo)."""
    return all(can_bind(a) for a in (LOOPBACK2, SLOW_ADDRESS, GUESS_ADDRESS,
                                     worker_address(0)))


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.sessions = 0        # well-behaved sessions/requests completed
        self.bytes = 0           # payload bytes moved by them
        self.faults = 0          # hostile clients run
        self.connections = 0     # TCP connections opened to the server port
        self.silent = 0          # of those, closed without sending a byte
        self.racy = 0            # reset at once after sending: the reset may
                                 # drop the bytes before the server reads any
        self.failures = []       # descriptions of wrong results

    def add(self, **kw):
        with self.lock:
            for k, v in kw.items():
                setattr(self, k, getattr(self, k) + v)

    def fail(self, what):
        with self.lock:
            if len(self.failures) < 50:
                self.failures.append(what)


def connect(port, source=None, timeout=10):
    s = socket.socket()
    s.settimeout(timeout)
    if source:
        s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def reset(sock):
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    except OSError:
        pass
    sock.close()


def read_all(sock, limit=1 << 30):
    chunks = []
    total = 0
    while total < limit:
        try:
            b = sock.recv(65536)
        except socket.timeout:
            break
        except OSError:
            break
        if not b:
            break
        chunks.append(b)
        total += len(b)
    return b"".join(chunks)


# ---------------------------------------------------------------- hostile --

def hostile_client(port, kind, stats, big_request, rng, own=None):
    """One hostile connection of the given kind. Never raises."""
    stats.add(faults=1, connections=1)
    try:
        source = LOOPBACK2 if kind == "second-address" else own
        s = connect(port, source)
        if kind == "silent":
            time.sleep(rng.uniform(0.2, 1.5))
            s.close()
            stats.add(silent=1)
        elif kind == "garbage":
            s.sendall(bytes(rng.getrandbits(8) for _ in range(10240)))
            s.settimeout(2)
            read_all(s, 1 << 20)
            s.close()
        elif kind == "half-line":
            s.sendall(b"GET /index.htm HT" if big_request.startswith(b"GET") else b"USER us")
            time.sleep(rng.uniform(0.1, 0.8))
            reset(s)
        elif kind == "random":
            s.sendall(os.urandom(rng.randint(1, 3000)))
            reset(s)
            stats.add(racy=1)
        elif kind == "stop-reading":
            s.sendall(big_request)
            time.sleep(rng.uniform(0.5, 1.5))
            reset(s)
        elif kind == "reset-mid":
            s.sendall(big_request)
            s.settimeout(5)
            try:
                s.recv(rng.randint(1, 65536))
            except OSError:
                pass
            reset(s)
        elif kind == "second-address":
            s.sendall(big_request)
            s.settimeout(10)
            read_all(s)
            s.close()
    except OSError:
        pass


# ------------------------------------------------------------------ HTTP --

HTTP_TIMEOUT = 3


def http_setup(work, rng):
    site = os.path.join(work, "site")
    os.makedirs(os.path.join(site, "dir"))
    os.makedirs(os.path.join(site, "private"))
    files = {}
    for name, size in [("index.htm", 300), ("small.txt", 1000), ("mid.bin", 70000),
                       ("big.bin", 3 * 1024 * 1024), ("dir/a.txt", 2049), ("private/s.txt", 10)]:
        data = os.urandom(size) if name.endswith(".bin") else bytes(
            rng.choice(b"abcdefghij\n") for _ in range(size))
        with open(os.path.join(site, name), "wb") as f:
            f.write(data)
        files["/" + name] = data
    # A gzip variant beside small.txt, for the clients that take gzip.
    files["/small.txt.gz"] = gzip.compress(files["/small.txt"], mtime=0)
    with open(os.path.join(site, "small.txt.gz"), "wb") as f:
        f.write(files["/small.txt.gz"])
    for i in range(200):
        with open(os.path.join(site, "dir", "f%03d.txt" % i), "wb") as f:
            f.write(b"x" * i)
    os.makedirs(os.path.join(work, "logs"))
    return site, files


def http_config(work, port, site, clients, per_address):
    return "\n".join([
        "; soak", "Port=%d" % port, "Address=127.0.0.1",
        "ExternIP=http://127.0.0.1:%d" % port, "Timeout=%d" % HTTP_TIMEOUT,
        "MaxConnections=%d" % clients, "MaxPerAddress=%d" % per_address,
        "ExtendedMessages=1", "DirectoryListing=1",
        "ShowProtectedFiles=0", "AddType=.htm;text/html", "AddType=.txt;text/plain",
        "AddIndex=index.htm", "AddForbidden=private;soak", "AddUser=soak;pw",
        "AddVirtual=/;%s" % site, "LogRotation=1", "LogMaxEntries=0",
        "LogMaxAge=1000", "LogDir=%s/logs" % work, ""])


def http_request(port, head, source=None):
    s = connect(port, source)
    s.sendall(head)
    data = read_all(s)
    s.close()
    sep = data.find(b"\r\n\r\n")
    if sep < 0:
        return None, data, b""
    return data[:sep + 2].decode("latin-1"), data[:sep + 4], data[sep + 4:]


def http_worker(port, files, stats, deadline, rng, hostile_share, own=None):
    big = b"GET /big.bin HTTP/1.0\r\n\r\n"
    kinds = ["silent", "garbage", "half-line", "random", "stop-reading", "reset-mid"]
    if can_bind_second_loopback():
        kinds.append("second-address")
    while time.time() < deadline:
        if rng.random() < hostile_share:
            hostile_client(port, rng.choice(kinds), stats, big, rng, own)
            continue
        choice = rng.randrange(6)
        path = rng.choice(["/small.txt", "/mid.bin", "/big.bin", "/dir/a.txt", "/index.htm"])
        want = files[path]
        try:
            stats.add(connections=1)
            if choice == 0 and path == "/small.txt" and rng.random() < 0.5:
                want = files["/small.txt.gz"]
                head, _, body = http_request(
                    port, b"GET /small.txt HTTP/1.0\r\nAccept-Encoding: gzip\r\n\r\n", own)
                ok = head and head.startswith("HTTP/1.0 200 ") and body == want and \
                    "Content-Encoding: gzip\r\n" in head
            elif choice == 0:
                # Heads of any size up to the limit are read whole, however
                # many others are being read meanwhile.
                cookie = b"Cookie: %s\r\n" % (b"c" * rng.choice([0, 3000, 15000]))
                head, _, body = http_request(
                    port, b"GET %s HTTP/1.0\r\n%s\r\n" % (path.encode(), cookie), own)
                ok = head and head.startswith("HTTP/1.0 200 ") and body == want
            elif choice == 1:
                head, _, body = http_request(port, b"HEAD %s HTTP/1.0\r\n\r\n" % path.encode(), own)
                ok = head and head.startswith("HTTP/1.0 200 ") and body == b"" and \
                    ("Content-length: %d\r\n" % len(want)) in head
            elif choice == 2:
                a = rng.randrange(len(want))
                b = rng.randrange(a, len(want))
                head, _, body = http_request(
                    port, b"GET %s HTTP/1.0\r\nRange: bytes=%d-%d\r\n\r\n" % (path.encode(), a, b),
                    own)
                ok = head and head.startswith("HTTP/1.0 206 ") and body == want[a:b + 1]
            elif choice == 3:
                head, _, body = http_request(port, b"GET /dir/ HTTP/1.0\r\n\r\n", own)
                ok = head and head.startswith("HTTP/1.0 200 ") and body.count(b"f1") >= 100
                want = body
            elif choice == 4:
                head, _, body = http_request(port, b"GET /private/s.txt HTTP/1.0\r\n\r\n", own)
                ok = head and head.startswith("HTTP/1.0 401 ")
                want = b""
            else:
                # The right password from an address that never guessed
                # wrong opens the guarded file, whatever the guesser does.
                want = files["/private/s.txt"]
                head, _, body = http_request(
                    port, b"GET /private/s.txt HTTP/1.0\r\nAuthorization: Basic %s\r\n\r\n"
                    % HTTP_RIGHT, own)
                ok = head and head.startswith("HTTP/1.0 200 ") and body == want
            if ok:
                stats.add(sessions=1, bytes=len(want))
            else:
                stats.fail("http %d %s: %r" % (choice, path, (head or "")[:80]))
        except OSError as e:
            stats.fail("http %d %s: %s" % (choice, path, e))


HTTP_RIGHT = b"c29hazpwdw=="       # soak:pw
HTTP_WRONG = b"c29hazp3cm9uZw=="   # soak:wrong


def slow_clients(port, stats, deadline, share, limit, trickle, address):
    """Rounds of `share` connections from one address that send a request
    head a byte at a time, plus one connection over the share. The one over
    must be closed at once; each of the others within the head's time
    limit of its connect, however steadily it sends (when `limit` is given;
    for a server that does not promise it, the client gives up itself)."""
    head = b"GET /small.txt HTTP/1.0\r\nX-Slow: " + b"s" * 200
    while time.time() + 1 < deadline:
        conns = []
        try:
            for _ in range(share):
                conns.append((connect(port, address), time.time()))
                stats.add(faults=1, connections=1)
        except OSError as e:
            stats.fail("slow client connect: %s" % e)
            break
        if limit is not None:
            try:
                extra = connect(port, address)
                stats.add(faults=1, connections=1)
                extra.settimeout(3)
                t = time.time()
                try:
                    got = extra.recv(1)
                except OSError:
                    got = b""
                if got or time.time() - t > 2.5:
                    stats.fail("connection over the address's share was kept (%r)" % got)
                extra.close()
            except OSError:
                pass
        give_up = time.time() + (limit + 3 if limit is not None else 4)
        i = 0
        open_ = list(conns)
        while open_ and time.time() < give_up:
            time.sleep(trickle)
            for entry in list(open_):
                s, start = entry
                try:
                    s.sendall(head[i:i + 1])
                    s.setblocking(False)
                    try:
                        closed = s.recv(1) == b""
                    except BlockingIOError:
                        closed = False
                    s.setblocking(True)
                except OSError:
                    closed = True
                if closed:
                    took = time.time() - start
                    if limit is not None and took > limit + 2:
                        stats.fail("slow head cut after %.1fs (limit %ds)" % (took, limit))
                    open_.remove(entry)
                    s.close()
            i = min(i + 1, len(head) - 1)
        for s, _ in open_:
            if limit is not None:
                stats.fail("slow head never cut (limit %ds)" % limit)
            reset(s)


def http_guesser(port, stats, deadline, share):
    """Guesses the password of the guarded file from an address of its own:
    each wrong guess must be answered 401 a second late; after ten, every
    request for a guarded name (the right password too) 401 at once."""
    req = b"GET /private/s.txt HTTP/1.0\r\nAuthorization: Basic %s\r\n\r\n"
    guesses = 0

    def one(credentials, out):
        t = time.time()
        try:
            head, _, _ = http_request(port, req % credentials, GUESS_ADDRESS)
        except OSError as e:
            head = "error %s" % e
        out.append((head or "", time.time() - t))

    while guesses < 10 and time.time() + 3 < deadline:
        batch = min(share, 10 - guesses)
        out = []
        # Each guess a password of its own: the same wrong one sent again
        # (a browser resending what it has) counts once.
        threads = [threading.Thread(target=one, args=(
            base64.b64encode(b"soak:wrong%d" % (guesses + k)), out)) for k in range(batch)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(15)
        stats.add(faults=batch, connections=batch)
        for head, took in out:
            if not head.startswith("HTTP/1.0 401 ") or took < 0.9:
                stats.fail("wrong password: %r after %.2fs" % (head[:40], took))
        guesses += batch
    while guesses >= 10 and time.time() + 0.5 < deadline:
        for credentials in (HTTP_RIGHT, HTTP_WRONG):
            out = []
            one(credentials, out)
            stats.add(faults=1, connections=1)
            head, took = out[0]
            if not head.startswith("HTTP/1.0 401 ") or took > 0.8:
                stats.fail("locked-out address: %r after %.2fs" % (head[:40], took))
        time.sleep(0.2)


def ftp_guesser(port, stats, deadline):
    """Wrong passwords from an address of its own. A refusal may come late
    and the address may be turned away with 421 once it has guessed too
    often; a login, or no answer within the time, is wrong."""
    while time.time() + 1 < deadline:
        stats.add(faults=1)
        try:
            s = connect(port, GUESS_ADDRESS, timeout=8)
            f = s.makefile("rb")
            greeting = f.readline()
            if greeting.startswith(b"421"):
                s.close()
                time.sleep(0.2)
                continue
            if not greeting.startswith(b"220"):
                stats.fail("guesser greeting %r" % greeting[:40])
            s.sendall(b"USER soak0\r\n")
            user = f.readline()
            s.sendall(b"PASS wrong\r\n")
            answer = f.readline()
            # A refusal ends the session: the reply may be lost with it.
            if not user.startswith(b"331") or not (answer[:3] in (b"530", b"332", b"421") or
                                                     answer == b""):
                stats.fail("guesser: %r, %r" % (user[:40], answer[:40]))
            s.close()
        except OSError as e:
            stats.fail("guesser: %s" % e)
        # A server that answers at once must not turn the guesser into a
        # flood of connections.
        time.sleep(0.05)


def ftp_slow_client(port, stats, deadline, trickle):
    """Two sessions that send their login a byte at a time until the server
    ends them or they have waited a few seconds past its login time."""
    line = b"USER soak1\r\nPASS pw\r\n"
    while time.time() + 1 < deadline:
        conns = []
        stats.add(faults=2)
        try:
            for _ in range(2):
                conns.append(connect(port, SLOW_ADDRESS))
        except OSError as e:
            stats.fail("slow ftp connect: %s" % e)
            break
        give_up = time.time() + 6
        i = 0
        while conns and time.time() < give_up:
            time.sleep(trickle)
            for s in list(conns):
                try:
                    s.sendall(line[i:i + 1] if i < len(line) - 4 else b"x")
                except OSError:
                    conns.remove(s)
                    s.close()
            i += 1
        for s in conns:
            reset(s)


def http_checks(work, stats, pid):
    """One access line per connection: the log is read after shutdown."""
    lines = 0
    logs = os.path.join(work, "logs")
    for name in os.listdir(logs):
        with open(os.path.join(logs, name), "rb") as f:
            lines += sum(1 for _ in f)
    # A connection that sends nothing (a browser's preconnect, a probe) is
    # no request and leaves no line.
    asked = stats.connections - stats.silent
    return [("one access line per connection that sent a byte (%d lines, %d connections, "
             "%d reset at once)" % (lines, asked, stats.racy),
             asked - stats.racy <= lines <= asked)]


# ------------------------------------------------------------------- FTP --

def ftp_setup(work, clients, rng):
    accounts = os.path.join(work, "accounts")
    os.makedirs(accounts)
    os.makedirs(os.path.join(work, "logs"))
    seeded = {}
    for name, size in [("small.bin", 2049), ("big.bin", 4 * 1024 * 1024), ("empty.bin", 0)]:
        seeded[name] = os.urandom(size)
    for i in range(clients):
        user = "soak%d" % i
        root = os.path.join(work, "roots", user)
        os.makedirs(root)
        for name, data in seeded.items():
            with open(os.path.join(root, name), "wb") as f:
                f.write(data)
        grants = "".join("AddCommand=%s\n" % c for c in
                         ["CWD", "CDUP", "PASV", "PORT", "LIST", "RETR", "STOR", "APPE",
                          "TYPE", "DELE", "SIZE", "MDTM", "MKD", "RMD"])
        with open(os.path.join(accounts, user + ".ini"), "w") as f:
            f.write("; soak account\nPassWord=pw\nAllowIPAddress=ALL\nCloseIfIdle=yes\n"
                    "AllowFullBandwidth=yes\nRootDirectory=%s\nDiskQuota=1000000000\n%s"
                    % (root, grants))
    return seeded


def ftp_config(port, data_port, clients, hostile):
    # The workers all come from 127.0.0.1: their address may hold every
    # place. Four more places for the slow clients and the guesser.
    return "\n".join([
        "; soak", "MaximumBandwidth=0", "Address=127.0.0.1", "ExternIP=127.0.0.1",
        "TimeoutTime=3", "MaxUsers=%d" % (clients + hostile + 4),
        "MaxPerAddress=%d" % (clients + hostile + 4), "Port=%d" % port,
        "DataPort=%d" % data_port, "LogRotation=1", "LogMaxEntries=0", "LogMaxAge=1000",
        "LogDir=logs", ""])


class Ftp(ftplib.FTP):
    # The server's PASV answer names its data port; keep ftplib from
    # replacing the host with the control connection's (same anyway).
    trust_server_pasv_ipv4_address = True


def ftp_session(port, user, seeded, stats, rng, serial):
    ftp = Ftp()
    ftp.connect("127.0.0.1", port, timeout=20)
    stats.add(connections=1)
    ftp.login(user, "pw")
    moved = 0
    lines = []
    ftp.retrlines("LIST", lines.append)
    if not any(l.endswith(" big.bin") for l in lines):
        stats.fail("%s LIST lacks big.bin: %r" % (user, lines[:3]))
        ftp.close()
        return
    name = rng.choice(list(seeded))
    got = bytearray()
    ftp.retrbinary("RETR " + name, got.extend)
    if bytes(got) != seeded[name]:
        stats.fail("%s RETR %s: %d bytes, wanted %d" % (user, name, len(got), len(seeded[name])))
        ftp.close()
        return
    moved += len(got)
    up = os.urandom(rng.choice([0, 1, 2048, 2049, 300000]))
    upname = "up%d.bin" % serial
    ftp.storbinary("STOR " + upname, io.BytesIO(up))
    back = bytearray()
    ftp.retrbinary("RETR " + upname, back.extend)
    if bytes(back) != up:
        stats.fail("%s STOR/RETR %s: %d bytes back, sent %d" % (user, upname, len(back), len(up)))
    moved += 2 * len(up)
    ftp.delete(upname)
    ftp.quit()
    stats.add(sessions=1, bytes=moved)


def ftp_worker(port, index, seeded, stats, deadline, rng, hostile_share):
    user = "soak%d" % index
    big = b"USER " + user.encode() + b"\r\nPASS pw\r\n"
    kinds = ["silent", "garbage", "half-line", "random", "reset-mid"]
    if can_bind_second_loopback():
        kinds.append("second-address")
    serial = 0
    while time.time() < deadline:
        serial += 1
        if rng.random() < hostile_share:
            kind = rng.choice(kinds + ["reset-transfer"])
            if kind == "reset-transfer":
                ftp_reset_transfer(port, user, stats, rng)
            else:
                hostile_client(port, kind, stats, big, rng)
            continue
        try:
            ftp_session(port, user, seeded, stats, rng, serial)
        except (OSError, EOFError, ftplib.Error) as e:
            stats.fail("%s session: %s" % (user, e))


def ftp_reset_transfer(port, user, stats, rng):
    """Starts a download or an upload and resets both connections mid-way."""
    stats.add(faults=1, connections=1)
    ftp = Ftp()
    try:
        ftp.connect("127.0.0.1", port, timeout=20)
        ftp.login(user, "pw")
        ftp.voidcmd("TYPE I")
        if rng.random() < 0.5:
            data = ftp.transfercmd("RETR big.bin")
            data.recv(rng.randint(1, 100000))
        else:
            data = ftp.transfercmd("STOR partial%d.bin" % rng.randrange(1 << 30))
            data.sendall(os.urandom(rng.randint(1, 100000)))
        reset(data)
        reset(ftp.sock)
    except (OSError, EOFError, ftplib.Error):
        try:
            ftp.close()
        except OSError:
            pass


def ftp_checks(work, clients, seeded, stats, pid):
    """After every session ended: each user's quota record holds exactly the
    bytes of the files its sessions left behind (partial uploads)."""
    checks = []
    bad = []
    for i in range(clients):
        user = "soak%d" % i
        root = os.path.join(work, "roots", user)
        left = sum(os.path.getsize(os.path.join(root, n)) for n in os.listdir(root)
                   if n not in seeded)
        try:
            with open(os.path.join(work, "accounts", user + ".dsk"), "rb") as f:
                rec = f.read()
        except OSError:
            rec = b""
        # Bytes stored: a 64-bit word after the two 32-bit ones of the
        # older 8-byte record, which is still read.
        usage = (int.from_bytes(rec[8:16], "little") if len(rec) == 16 else
                 int.from_bytes(rec[4:8], "little") if len(rec) == 8 else -1)
        if usage != left:
            bad.append("%s: record %d, files %d" % (user, usage, left))
    checks.append(("quota records match the files left (%s)" % ("; ".join(bad[:3]) or "all"), not bad))
    return checks


# ------------------------------------------------------------------ main --

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("server", choices=["ftp", "http"])
    ap.add_argument("bindir")
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--clients", type=int, default=8)
    ap.add_argument("--hostile", type=float, default=0.3, help="share of hostile clients")
    ap.add_argument("--seed", type=int, default=int(time.time()))
    args = ap.parse_args()
    rng = random.Random(args.seed)
    work = tempfile.mkdtemp(prefix="soak-")
    port = free_port()
    stats = Stats()
    checks = []
    proc = None
    fd0 = fd1 = rss0 = rss1 = -1
    try:
        spread = many_addresses()
        if args.server == "http":
            site, files = http_setup(work, rng)
            # Room for the workers, the slow clients and the guesser. With
            # addresses of their own, each holds a quarter of the places (the
            # default share is larger than a soak's whole room); on one
            # address only, every place.
            places = args.clients * 3
            share = max(2, places // 4) if spread else places
            conf = http_config(work, port, site, places, share)
            binary, conf_name = "mirt", "mirt.ini"
        else:
            seeded = ftp_setup(work, args.clients, rng)
            data_port = free_block(2 * args.clients + 4)
            conf = ftp_config(port, data_port, args.clients, args.clients)
            binary, conf_name = "zolf", "zolf.ini"
        with open(os.path.join(work, conf_name), "w") as f:
            f.write(conf)
        out = open(os.path.join(work, "server.out"), "w")
        # Under AddressSanitizer freed memory sits in a quarantine that would
        # read as growth; keep it small so the memory check means the same.
        env = dict(os.environ)
        env.setdefault("ASAN_OPTIONS", "quarantine_size_mb=4:detect_leaks=1")
        proc = subprocess.Popen([os.path.join(os.path.abspath(args.bindir), binary)],
                                cwd=work, stdout=out, stderr=subprocess.STDOUT, env=env)
        if not wait_for(lambda: listening(port) or proc.poll() is not None, 10) or proc.poll() is not None:
            print("soak %s: server did not start: %s" % (args.server, open(os.path.join(work, "server.out")).read()))
            return 1
        # Idle figures: one served request first, so lazily set-up state counts.
        if args.server == "http":
            http_request(port, b"GET /small.txt HTTP/1.0\r\n\r\n")
            stats.add(connections=1)
        else:
            try:
                ftp_session(port, "soak0", seeded, stats, rng, 0)
            except (OSError, EOFError, ftplib.Error) as e:
                stats.fail("first session: %s" % e)
        wait_for(lambda: False, 0.3)
        fd0, rss0 = fd_count(proc.pid), rss_kb(proc.pid)

        deadline = time.time() + args.seconds
        threads = []
        for i in range(args.clients):
            r = random.Random(rng.random())
            if args.server == "http":
                own = worker_address(i) if spread else None
                t = threading.Thread(target=http_worker,
                                     args=(port, files, stats, deadline, r, args.hostile, own))
            else:
                t = threading.Thread(target=ftp_worker,
                                     args=(port, i, seeded, stats, deadline, r, args.hostile))
            t.daemon = True
            t.start()
            threads.append(t)
        # Slow clients and a guesser, each from an address of its own (where
        # there are no other addresses they would lock out the workers).
        extra = []
        if spread and args.server == "http":
            extra = [threading.Thread(target=slow_clients,
                                      args=(port, stats, deadline, share, HTTP_TIMEOUT, 0.3,
                                            SLOW_ADDRESS)),
                     threading.Thread(target=http_guesser, args=(port, stats, deadline, share))]
        elif spread:
            extra = [threading.Thread(target=ftp_slow_client, args=(port, stats, deadline, 0.3)),
                     threading.Thread(target=ftp_guesser, args=(port, stats, deadline))]
        for t in extra:
            t.daemon = True
            t.start()
            threads.append(t)
        for t in threads:
            t.join(args.seconds + 120)
        hung = sum(1 for t in threads if t.is_alive())
        checks.append(("every client finished (%d hung)" % hung, hung == 0))

        alive = proc.poll() is None
        checks.append(("server alive after the run", alive))
        # Answering: one more well-behaved exchange.
        answering = False
        if alive:
            try:
                if args.server == "http":
                    head, _, body = http_request(port, b"GET /small.txt HTTP/1.0\r\n\r\n")
                    stats.add(connections=1)
                    answering = bool(head and head.startswith("HTTP/1.0 200") and body == files["/small.txt"])
                else:
                    before = stats.sessions
                    ftp_session(port, "soak0", seeded, stats, rng, 10 ** 6)
                    answering = stats.sessions == before + 1
            except (OSError, EOFError, ftplib.Error) as e:
                stats.fail("final exchange: %s" % e)
        checks.append(("server answering after the run", answering))
        # Idle again: silent sessions are closed by the server's time-out.
        fd_ok = wait_for(lambda: fd_count(proc.pid) <= fd0, 15)
        fd1, rss1 = fd_count(proc.pid), rss_kb(proc.pid)
        checks.append(("descriptors back to idle (%d -> %d)" % (fd0, fd1), fd_ok))
        checks.append(("memory bounded (%d -> %d kB)" % (rss0, rss1), rss1 - rss0 < 16 * 1024))
        checks.append(("every exact transfer exact (%d wrong)" % len(stats.failures), not stats.failures))

        proc.send_signal(signal.SIGTERM)
        try:
            code = proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            code = proc.wait()
        checks.append(("clean stop on SIGTERM (status %d)" % code, code == 0))
        if args.server == "http":
            checks.extend(http_checks(work, stats, proc.pid))
        else:
            checks.extend(ftp_checks(work, args.clients, seeded, stats, proc.pid))
    finally:
        if proc and proc.poll() is None:
            proc.kill()
            proc.wait()
    passed = sum(1 for _, ok in checks if ok)
    failed = len(checks) - passed
    for what, ok in checks:
        if not ok:
            print("FAILED: " + what)
    for f in stats.failures[:10]:
        print("  wrong: " + f)
    if failed:
        print("server output: " + open(os.path.join(work, "server.out")).read()[-2000:])
    print("soak %s: seed %d, %ds, %d clients, %d sessions, %d bytes, %d faults injected, "
          "fds %d->%d, rss %d->%d kB: %d passed, %d failed"
          % (args.server, args.seed, args.seconds, args.clients, stats.sessions, stats.bytes,
             stats.faults, fd0, fd1, rss0, rss1, passed, failed))
    if not failed:
        shutil.rmtree(work, ignore_errors=True)
    else:
        print("work directory kept: " + work)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
